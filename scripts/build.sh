#!/usr/bin/env bash
# build.sh [linux|win32|win64]...
# Configures and builds in build/ (Linux), build-win32/ and build-win64/
# (Windows, cross-built with MinGW-w64); warnings are errors. Default: linux.
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
    win32) configure_and_build build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake ;;
    win64) configure_and_build build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ;;
    *) echo "build.sh: unknown target $target (linux, win32, win64)" >&2; exit 2 ;;
  esac
done
