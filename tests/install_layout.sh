#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# install_layout.sh BUILD_DIR
# `cmake --install` into a scratch prefix lays the files out as GNUInstallDirs
# says, and the installed harness runs a session on the installed module.
set -uo pipefail
build=$1
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
share/doc/hushlink/README.md"
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
[[ $actual == "$expected" ]] || fail "installed files:
$actual
expected:
$expected"

work=$prefix/work
mkdir -p "$work/inis" "$work/logs"
echo "logging = 1" >"$work/inis/Hushlink.ini"
cd "$work"
"$prefix/bin/hushlink-host" run "$prefix/lib/hushlink/libHushlink.so" >out.txt 2>&1 ||
  fail "the installed harness could not run the installed module: $(cat out.txt)"
grep -q '^FW read mem 0x1f800001: 0x112233$' logs/Hushlink.log ||
  fail "the installed module logged no session"
echo "installed: $(echo "$expected" | tr '\n' ' ')"
