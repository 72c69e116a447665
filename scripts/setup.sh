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
  "/usr/lib/gcc/x86_64-linux-gnu/12/32/libstdc++.so g++-multilib"
  "qemu-i386-static qemu-user-static"
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

# The 32-bit Linux build's programs run natively where the kernel runs
# 32-bit x86 code; elsewhere qemu-i386-static runs them, and binfmt_misc must
# hand it their children too (tests/linux32/run-i386.sh). Registered only
# where the kernel cannot run them itself, where the entry would take over
# every 32-bit program; with the F flag, so the kernel opens the emulator
# once, now, and finds it from any working folder or mount namespace. The
# magic and mask are an i386 ELF executable's or shared object's header.
setup_scope=${1:-all}
register_qemu_i386() {
  local binfmt=/proc/sys/fs/binfmt_misc qemu
  [[ $setup_scope == all ]] || return 0
  "$(dirname "$0")/kernel-runs-32bit.sh" && return 0
  [[ -e $binfmt/qemu-i386 ]] && return 0
  qemu=$(command -v qemu-i386-static) || return 0 # named above as missing
  if [[ $(id -u) != 0 ]]; then
    no_i386_emulator "registering qemu-i386-static in binfmt_misc needs root"
    return 0
  fi
  if [[ ! -e $binfmt/register ]] && ! mount -t binfmt_misc binfmt_misc "$binfmt"; then
    no_i386_emulator "binfmt_misc cannot be mounted at $binfmt"
    return 0
  fi
  echo "setup: this kernel does not run 32-bit x86 programs: registering $qemu for them" \
       "in binfmt_misc" >&2
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    >"$binfmt/register" || no_i386_emulator "binfmt_misc refused the qemu-i386 entry"
}
no_i386_emulator() {
  echo "setup: $*: the 32-bit Linux tests will be SKIPPED, not passed." >&2
  if [[ ${CI:-} == true ]]; then
    echo "setup: under CI every test must run: failing." >&2
    exit 1
  fi
}

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
((${#missing[@]} == 0)) && { register_qemu_i386; exit 0; }

if can_install; then
  install_packages "${missing[@]}"
  register_qemu_i386
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
register_qemu_i386
