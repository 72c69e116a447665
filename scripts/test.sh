#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds everything and runs every test: the Linux suite as built and again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets for
# a bounded time, and both Windows modules under Wine, headless under Xvfb.
# Each build and test run is a preset of CMakePresets.json. Where this kernel
# does not run 32-bit x86 programs, the 32-bit module's Wine tests run in one
# QEMU guest whose kernel does (scripts/run-in-guest.sh), the rest of its
# tests here.
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

# Where the 32-bit Wine tests run: here, or in a guest booted once for all of
# them. Where neither can be had they are skipped, saying why; under CI=true
# that fails the test command.
win32_in_guest=false
if [[ " ${windows[*]} " == *" win32 "* ]] && ! scripts/kernel-runs-32bit.sh; then
  if scripts/run-in-guest.sh --prepare; then
    echo "test: this kernel does not run 32-bit x86 programs: the win32 Wine tests" \
         "will run in a QEMU guest" >&2
    win32_in_guest=true
  elif [[ ${CI:-} == true ]]; then
    echo "test: FAILED: this kernel does not run 32-bit x86 programs and no QEMU guest can" \
         "be started (see above): the win32 Wine tests cannot run" >&2
    exit 1
  else
    echo "test: this kernel does not run 32-bit x86 programs and no QEMU guest can be" \
         "started (see above): the win32 Wine tests are SKIPPED" >&2
  fi
fi

status=0
logs=$(mktemp -d /tmp/hushlink-test-logs-XXXXXX)
trap 'rm -rf "$logs"' EXIT

# run_tests TARGET: one preset's tests; its status in $logs/TARGET.status.
# A Windows suite runs with one Wine server and display kept up for all its
# programs. In the guest: the win32 tests that need Wine first, as they take
# longest, the fault sweep in its short form (an emulated run costs many
# times a native one; the 64-bit module's sweep is whole); then the others
# here (their CTest results in junit-host.xml).
run_tests() {
  local result=0 dir started prefix
  dir=$(build_dir "$1")
  prefix=$PWD/$dir/wine-prefix
  rm -rf "$dir/gtest-results" "$dir/junit.xml" "$dir/junit-host.xml"
  if [[ $1 == win32 ]] && $win32_in_guest; then
    echo "== the win32 Wine tests, in a QEMU guest"
    started=$SECONDS
    # The guest's Wine prefix in its memory (made on the 9p share it would
    # take far longer), made before the tests, so that no test's time limit
    # counts it. One guest processor: the tests run one program at a time.
    HUSHLINK_FAULT_SWEEP=short scripts/run-in-guest.sh --cpus 1 --tmpfs "$prefix" -- bash -c \
      'tests/windows/run-in-wine.sh win32 "$1" &&
       exec tests/windows/run-in-wine.sh --session win32 "$1" -- ctest --preset win32 -L wine' \
      prefix "$prefix" || result=1
    echo "test: the guest ran the win32 Wine tests in $((SECONDS - started)) s"
    echo "== the other win32 tests, here"
    ctest --preset win32 -LE wine -j "$(nproc)" --output-junit junit-host.xml || result=1
  elif [[ $1 == win* ]]; then
    tests/windows/run-in-wine.sh --session "$1" "$prefix" -- \
      ctest --preset "$1" -j "$(nproc)" || result=1
  else
    ctest --preset "$1" -j "$(nproc)" || result=1
  fi
  echo "$result" >"$logs/$1.status"
}

# The Windows suites mostly wait on Wine, one program at a time (the 32-bit
# one, in the guest, the longest of all): they are built first and run in the
# background, side by side, each with a Wine prefix and X display of its own,
# while the Linux suites are built and run. Those run in the background too,
# each while the next is built (their tests spend much of their time waiting
# on child processes and files), one suite at a time but for the fuzz
# targets. The guest, when there is one, is the longest single job:
# everything started after it gives way to it (the guest's processor is a
# thread here, and one kept waiting holds up each program in it).
for target in "${windows[@]}"; do
  scripts/build.sh "$target" || { wait; exit 1; }
  echo "== tests: $target, in the background"
  run_tests "$target" >"$logs/$target.log" 2>&1 &
  if [[ $target == win32 ]] && $win32_in_guest; then
    renice -n 10 -p $$ >/dev/null
  fi
done
targets+=(linux32)
suite=
for target in linux linux32 asan fuzz; do
  scripts/build.sh "$target" || { wait; exit 1; }
  # The fuzz targets only compute: they need not wait for the suite before.
  [[ -z $suite || $target == fuzz ]] || wait "$suite"
  echo "== tests: $target, in the background"
  run_tests "$target" >"$logs/$target.log" 2>&1 &
  suite=$!
done
wait
for target in linux linux32 asan fuzz "${windows[@]}"; do
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
for target in "${targets[@]}"; do
  results+=("$(build_dir "$target")/junit.xml" "$(build_dir "$target")/junit-host.xml")
done
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
