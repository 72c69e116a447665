#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# build.sh [linux|linux32|asan|fuzz|win32|win64]...
# Configures and builds each named preset of CMakePresets.json, warnings as
# errors, in
#   build/        Linux
#   build-linux32/   32-bit Linux (-m32)
#   build-asan/   Linux under AddressSanitizer and UndefinedBehaviorSanitizer
#   build-fuzz/   the libFuzzer targets (clang)
#   build-win32/, build-win64/   Windows, cross-built with MinGW-w64
# Default: linux. The same builds are `cmake --workflow --preset NAME`.
set -euo pipefail
cd "$(dirname "$0")/.."

(($# == 0)) && set -- linux
for preset in "$@"; do
  case $preset in
    linux | linux32 | asan | fuzz | win32 | win64) ;;
    *) echo "build.sh: unknown target $preset (linux, linux32, asan, fuzz, win32, win64)" >&2; exit 2 ;;
  esac
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --parallel
done
