#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# setup.sh [linux|all]
# Installs the Debian packages the build and the tests need, where missing:
# "linux" for the Linux build and its tests, "all" (the default) also for the
# Windows cross builds, Wine and the X display tests, and QEMU where the
# 32-bit Wine tests run in a guest (a kernel that does not run 32-bit x86
# programs; see scripts/run-in-guest.sh). As root with apt-get it
# installs them; otherwise it names what is missing and, for the optional
# parts, goes on (their tests then report themselves as skipped).
set -euo pipefail

# command-or-file  package
linux_needs=(
  "cmake cmake"
  "ninja ninja-build"
  "g++ g++"
  "nm binutils"
  "/usr/include/gtest/gtest.h libgtest-dev"
  "/usr/include/gmock/gmock.h libgmock-dev"
  "valgrind valgrind"
  "strace strace"
  "/usr/include/benchmark/benchmark.h libbenchmark-dev"
  "clang++ clang"
  "help2man help2man"
  "man man-db"
  "nroff groff-base"
  "/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev"
)
extra_needs=(
  "i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix"
  "x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix"
  "/usr/src/googletest/CMakeLists.txt googletest"
  "/usr/lib/wine/wine64 wine64"
  "/usr/bin/wine wine"
  "/usr/lib/wine/wine wine32:i386"
  "xvfb-run xvfb"
  "xauth xauth"
  "xdotool xdotool"
  "xmessage x11-utils"
  "zip zip"
)

missing_packages() {
  local entry what package
  for entry in "$@"; do
    what=${entry% *}
    package=${entry#* }
    if [[ $what == /* ]]; then
      [[ -e $what ]] || echo "$package"
    else
      command -v "$what" >/dev/null 2>&1 || echo "$package"
    fi
  done
}

can_install() { [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null 2>&1; }

install_packages() {
  (($# == 0)) && return 0
  echo "setup: installing $*" >&2
  if [[ " $* " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    rm -f /tmp/.hushlink-apt-updated
  fi
  if [[ ! -e /tmp/.hushlink-apt-updated ]]; then
    apt-get update -qq >&2 && touch /tmp/.hushlink-apt-updated
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

mapfile -t linux_missing < <(missing_packages "${linux_needs[@]}")
extra_missing=()
if [[ ${1:-all} == all ]]; then
  # Where the kernel does not run 32-bit x86 programs itself, the 32-bit
  # Wine tests run in a QEMU guest (scripts/run-in-guest.sh) that sees this
  # machine's files, wine32:i386 too.
  if ! "$(dirname "$0")/kernel-runs-32bit.sh"; then
    extra_needs+=("qemu-system-x86_64 qemu-system-x86")
  fi
  mapfile -t extra_missing < <(missing_packages "${extra_needs[@]}")
fi
missing=("${linux_missing[@]}" "${extra_missing[@]}")
((${#missing[@]} == 0)) && exit 0

if can_install; then
  install_packages "${missing[@]}"
  exit 0
fi

echo "setup: cannot install packages here (needs root and apt-get)." >&2
if ((${#linux_missing[@]} > 0)); then
  echo "setup: the build needs: ${linux_missing[*]}" >&2
  exit 1
fi
echo "setup: MISSING ${extra_missing[*]}: the tests that need them will be SKIPPED," >&2
echo "setup: not passed. Install them to run the whole suite." >&2
if [[ ${CI:-} == true ]]; then
  echo "setup: under CI every test must run: failing." >&2
  exit 1
fi
