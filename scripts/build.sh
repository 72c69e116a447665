#!/usr/bin/env bash
# Configures and builds everything for Linux in build/ (warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
generator=()
[[ -f build/CMakeCache.txt ]] || generator=(-G Ninja)
cmake -S . -B build "${generator[@]}" -DHUSHLINK_WERROR=ON >/dev/null
cmake --build build --parallel
