#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# log_writes_strace.sh HOST MODULE
# Counts the system calls that write the log file during a logged session:
# exactly one per line, each a whole line. Exits 77 (a skip) without strace,
# unless CI=true.
set -uo pipefail
host=$1
module=$2
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
if ! command -v strace >/dev/null; then
  [[ ${CI:-} == true ]] && fail "strace is missing; CI must have it (scripts/setup.sh installs it)"
  echo "SKIPPED: strace is missing (scripts/setup.sh installs it as root)" >&2
  exit 77
fi
work=$(mktemp -d /tmp/hushlink-strace-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir inis logs
echo "logging = 1" >inis/Hushlink.ini
for i in $(seq 0 199); do
  echo "w $((i * 4)) $((i * 7919))"
  echo "r $((i * 4 + 0x1f800000))"
done >session.trace
strace -f -qq -s 256 -e trace=openat,write -o syscalls.txt "$host" run "$module" session.trace \
  >/dev/null || fail "the session failed"

descriptor=$(grep -E 'openat\(.*"logs/Hushlink.log".*= [0-9]+$' syscalls.txt | sed 's/.*= //')
[[ -n $descriptor ]] || fail "the log file was never opened"
writes=$(grep -cE "write\($descriptor, " syscalls.txt)
whole=$(grep -cE "write\($descriptor, \".*\\\\n\", [0-9]+\) = [0-9]+$" syscalls.txt)
lines=$(wc -l <logs/Hushlink.log)
echo "log lines: $lines, writes to the log: $writes, of them whole lines: $whole"
((lines == 2 + 1 + 400 + 1)) || fail "expected 404 log lines, found $lines"
((writes == lines)) || fail "$writes writes for $lines lines: not one write per line"
((whole == writes)) || fail "$((writes - whole)) writes did not carry a whole line"
