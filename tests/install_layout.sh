#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# install_layout.sh BUILD_DIR [RUNNER...]
# `cmake --install` into a scratch prefix lays the files out as GNUInstallDirs
# says, the installed harness runs a session on the installed module (through
# RUNNER, the build's emulator, when given), and `man` finds the installed
# manual page and renders it without a warning.
set -uo pipefail
build=$1
shift
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
prefix=$(mktemp -d /tmp/hushlink-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"

expected="bin/hushlink-host
lib/hushlink/libHushlink.so
share/doc/hushlink/LICENSE
share/doc/hushlink/README.md
share/man/man1/hushlink-host.1"
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
[[ $actual == "$expected" ]] || fail "installed files:
$actual
expected:
$expected"

work=$prefix/work
mkdir -p "$work/inis" "$work/logs"
echo "logging = 1" >"$work/inis/Hushlink.ini"
cd "$work"
"$@" "$prefix/bin/hushlink-host" run "$prefix/lib/hushlink/libHushlink.so" >out.txt 2>&1
case $? in
  0) ;;
  77) cat out.txt >&2; exit 77 ;;
  *) fail "the installed harness could not run the installed module: $(cat out.txt)" ;;
esac
grep -q '^FW read mem 0x1f800001: 0x112233$' logs/Hushlink.log ||
  fail "the installed module logged no session"
# As a user reads it: by name, from the prefix's manual folder.
if command -v man >/dev/null; then
  MANWIDTH=80 MANPATH="$prefix/share/man" man --warnings hushlink-host >page.txt 2>warnings.txt ||
    fail "man hushlink-host did not find the installed page: $(cat warnings.txt)"
  [[ ! -s warnings.txt ]] || fail "the installed page renders with warnings: $(cat warnings.txt)"
  grep -q "^ *hushlink-host  *- run, check, replay and sum up" page.txt ||
    fail "the installed page is not hushlink-host's: $(head -5 page.txt)"
elif [[ ${CI:-} == true ]]; then
  fail "man is missing; CI must have it (scripts/setup.sh installs it)"
else
  echo "SKIPPED: man is missing (scripts/setup.sh installs it as root)" >&2
  exit 77
fi
echo "installed: $(echo "$expected" | tr '\n' ' ')"
