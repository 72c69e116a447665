#!/usr/bin/env bash
# build.sh [linux|asan|fuzz|win32|win64]...
# Configures and builds, warnings as errors, in
#   build/        Linux
#   build-asan/   Linux under AddressSanitizer and UndefinedBehaviorSanitizer
#   build-fuzz/   the libFuzzer targets (clang)
#   build-win32/, build-win64/   Windows, cross-built with MinGW-w64
# Default: linux.
set -euo pipefail
cd "$(dirname "$0")/.."

configure_and_build() {
  local dir=$1
  shift
  local generator=()
  [[ -f $dir/CMakeCache.txt ]] || generator=(-G Ninja)
  cmake -S . -B "$dir" "${generator[@]}" -DHUSHLINK_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" --parallel
}

(($# == 0)) && set -- linux
for target in "$@"; do
  case $target in
    linux) configure_and_build build ;;
    asan) configure_and_build build-asan -DHUSHLINK_SANITIZE=ON ;;
    fuzz)
      CC=clang CXX=clang++ configure_and_build build-fuzz -DHUSHLINK_FUZZ=ON ;;
    win32) configure_and_build build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake ;;
    win64) configure_and_build build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ;;
    *) echo "build.sh: unknown target $target (linux, asan, fuzz, win32, win64)" >&2; exit 2 ;;
  esac
done
