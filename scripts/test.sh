#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds everything and runs every test: the Linux suite as built and again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets for
# a bounded time, and both Windows modules under Wine, headless under Xvfb.
# Each build and test run is a preset of CMakePresets.json.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh all || exit 1

targets=(linux asan fuzz)
for arch in i686 x86_64; do
  if command -v "$arch-w64-mingw32-g++" >/dev/null; then
    targets+=("$([[ $arch == i686 ]] && echo win32 || echo win64)")
  else
    echo "test: SKIPPING the ${arch} Windows build and its tests: no $arch-w64-mingw32-g++" >&2
  fi
done
scripts/build.sh "${targets[@]}" || exit 1

status=0
skipped=()
count() { grep -o "status=\"$1\"" "${junits[@]}" 2>/dev/null | wc -l; }
junits=()
logs=$(mktemp -d /tmp/hushlink-test-logs-XXXXXX)
trap 'rm -rf "$logs"' EXIT

# run_tests TARGET: one preset's tests; its status in $logs/TARGET.status.
run_tests() {
  local result=0
  CTEST_PARALLEL_LEVEL=$(nproc) ctest --preset "$1" || result=1
  echo "$result" >"$logs/$1.status"
}

for target in "${targets[@]}"; do
  [[ $target == win32 || $target == win64 ]] && continue
  echo "== tests: $target"
  run_tests "$target"
done
# The Windows suites mostly wait on Wine, one test at a time: the two run
# side by side, each with a Wine prefix and X displays of its own.
background=()
for target in "${targets[@]}"; do
  [[ $target == win32 || $target == win64 ]] || continue
  run_tests "$target" >"$logs/$target.log" 2>&1 &
  background+=("$target")
done
wait
for target in "${background[@]}"; do
  echo "== tests: $target"
  cat "$logs/$target.log"
done

for target in "${targets[@]}"; do
  dir=build
  [[ $target != linux ]] && dir=build-$target
  [[ $(cat "$logs/$target.status" 2>/dev/null) == 0 ]] || status=1
  junits+=("$dir/junit.xml")
  while IFS= read -r name; do skipped+=("$name"); done < <(
    grep -o '<testcase name="[^"]*"[^>]*status="notrun"' "$dir/junit.xml" 2>/dev/null |
      sed 's/<testcase name="\([^"]*\)".*/\1/')
done

if ((${#skipped[@]} > 0)); then
  echo
  echo "test: ${#skipped[@]} TESTS WERE SKIPPED, NOT PASSED (their reasons are printed above):"
  printf '  %s\n' "${skipped[@]}"
fi
echo "hushlink: $(count run) passed, $(count fail) failed, $(count notrun) skipped"
exit $status
