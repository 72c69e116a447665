#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds everything and runs every test: the Linux suite as built and again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets for
# a bounded time, and both Windows modules under Wine, headless under Xvfb.
# Each build and test run is a preset of CMakePresets.json.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh all || exit 1

# build_dir TARGET: where a preset builds.
build_dir() { [[ $1 == linux ]] && echo build || echo "build-$1"; }

windows=()
for arch in i686 x86_64; do
  if command -v "$arch-w64-mingw32-g++-posix" >/dev/null; then
    windows+=("$([[ $arch == i686 ]] && echo win32 || echo win64)")
  else
    echo "test: SKIPPING the ${arch} Windows build and its tests: no $arch-w64-mingw32-g++-posix" >&2
  fi
done
targets=(linux "${windows[@]}" asan fuzz)

status=0
logs=$(mktemp -d /tmp/hushlink-test-logs-XXXXXX)
trap 'rm -rf "$logs"' EXIT

# run_tests TARGET: one preset's tests; its status in $logs/TARGET.status.
run_tests() {
  local result=0
  rm -rf "$(build_dir "$1")/gtest-results"
  CTEST_PARALLEL_LEVEL=$(nproc) ctest --preset "$1" || result=1
  echo "$result" >"$logs/$1.status"
}

# The Windows suites mostly wait on Wine, one program at a time: they run in
# the background, side by side, each with a Wine prefix and X displays of its
# own, while the Linux suites are built and run.
scripts/build.sh linux "${windows[@]}" || exit 1
for target in "${windows[@]}"; do
  run_tests "$target" >"$logs/$target.log" 2>&1 &
done
# The 32-bit Linux suite runs with the Linux ones, in the foreground: under
# qemu-i386 it wants the processor, not a wait.
targets+=(linux32)
for target in linux linux32 asan fuzz; do
  [[ $target == linux ]] || scripts/build.sh "$target" || { wait; exit 1; }
  echo "== tests: $target"
  run_tests "$target"
done
wait
for target in "${windows[@]}"; do
  echo "== tests: $target"
  cat "$logs/$target.log"
done

# The results as the test programs reported them: CTest's for its own tests,
# GoogleTest's XML for each cross build's program, which runs its cases at once.
results=()
for target in "${targets[@]}"; do
  dir=$(build_dir "$target")
  [[ $(cat "$logs/$target.status" 2>/dev/null) == 0 ]] || status=1
  results+=("$dir"/gtest-results/*.xml)
done
for target in "${targets[@]}"; do results+=("$(build_dir "$target")/junit.xml"); done
existing=()
for file in "${results[@]}"; do [[ -e $file ]] && existing+=("$file"); done
read -r passed failed skipped otherplatform < <(
  awk -f scripts/test-results.awk "${existing[@]}" 2>"$logs/skipped")
if ((skipped > 0)); then
  echo
  echo "test: $skipped TESTS WERE SKIPPED, NOT PASSED (their reasons are printed above):"
  cat "$logs/skipped"
fi
echo "hushlink: $passed passed, $failed failed, $skipped skipped" \
  "($otherplatform table rows belong to the other platform only)"
exit $status
