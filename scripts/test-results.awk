# SPDX-License-Identifier: GPL-2.0-or-later
# Counts test results in CTest's JUnit files and GoogleTest's XML files:
#   awk -f test-results.awk FILE...
# prints "passed failed skipped otherplatform" and, on standard error, the
# name and reason of each test skipped. A GoogleTest case that skips with
# "Not on this platform: ..." is a row only the other platform has, counted
# apart. In CTest's files, a cross build's program run (gtest-*: Windows
# under Wine, 32-bit Linux) stands for the cases its own XML file reports:
# it is counted only when it failed with no case failing (a crash, a
# time-out) or was skipped altogether.
function finish() {
  if (!open) return
  open = 0
  if (wrapper) {
    if (kind == "fail" && !(wrapper in failures)) failed++
    else if (kind == "notrun") { skipped++; print "  " name ": " reason > "/dev/stderr" }
    return
  }
  if (kind == "fail") failed++
  else if (kind == "notrun" && other) otherplatform++
  else if (kind == "notrun") { skipped++; print "  " name ": " reason > "/dev/stderr" }
  else passed++
}
FNR == 1 { finish(); gtest = FILENAME ~ /gtest-results/ }
/<testcase / {
  finish()
  open = 1; other = 0; reason = ""; wrapper = 0
  match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
  if (gtest) {
    kind = $0 ~ /result="skipped"/ ? "notrun" : "run"
  } else {
    match($0, /status="[^"]*"/); kind = substr($0, RSTART + 8, RLENGTH - 9)
    if (name ~ /^gtest-/) { wrapper = name }
  }
  if ($0 ~ /\/>[ \t]*$/) finish()
  next
}
open && /<failure/ { kind = "fail"; if (gtest) failures[program()] = 1 }
open && /Not on this platform/ { other = 1 }
open && /SKIPPED \(|Skipped|skipped message/ && reason == "" { reason = $0 }
open && /<\/testcase>/ { finish() }
END {
  finish()
  printf "%d %d %d %d\n", passed, failed, skipped, otherplatform
}
# The CTest name of the program whose XML file is being read.
function program(  base) {
  base = FILENAME
  sub(/.*\//, "", base)
  sub(/\.xml$/, "", base)
  return "gtest-" arch() "-" base
}
# The build's name, from its folder: build-win32/gtest-results/X.xml is win32's.
function arch(  build) {
  build = FILENAME
  sub(/\/gtest-results\/[^\/]*$/, "", build)
  sub(/.*\//, "", build)
  sub(/^build-/, "", build)
  return build
}
