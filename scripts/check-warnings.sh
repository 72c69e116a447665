#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# check-warnings.sh: builds every target of ours in Debug, Release and
# RelWithDebInfo for Linux, 32-bit Linux and both MinGW-w64 toolchains, with
# warnings as errors, in scratch folders under /tmp. Slow (twelve builds):
# for release checks and compiler upgrades, not for every test run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
failed=()
for toolchain in native linux-i386 mingw-w64-i686 mingw-w64-x86_64; do
  for type in Debug Release RelWithDebInfo; do
    dir=/tmp/hushlink-warnings-$toolchain-$type
    args=(-S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$type -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
    [[ $toolchain != native ]] && args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake")
    if cmake "${args[@]}" >/dev/null && cmake --build "$dir" >"$dir.log" 2>&1; then
      echo "clean: $toolchain $type"
    else
      echo "WARNINGS OR ERRORS: $toolchain $type (see $dir.log)"
      failed+=("$toolchain-$type")
    fi
  done
done
((${#failed[@]} == 0))
