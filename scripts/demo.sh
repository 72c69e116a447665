#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds everything, then runs hushlink-host's demo session against the built
# module in a fresh working directory with logging on, and shows the log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" linux
"$root/scripts/build.sh" linux >/dev/null

work=$(mktemp -d /tmp/hushlink-demo-XXXXXX)
mkdir "$work/inis" "$work/logs"
echo "logging = 1" >"$work/inis/Hushlink.ini"
cd "$work"
host="$root/build/host/hushlink-host"
module="$root/build/libHushlink.so"

echo "== working directory: $work"
echo "== hushlink-host info"
"$host" info "$module"
echo
echo "== hushlink-host run (demo session; the plugin's log lines show on standard output too)"
"$host" run "$module"
echo
echo "== logs/Hushlink.log"
cat logs/Hushlink.log
echo "== inis/Hushlink.ini"
cat inis/Hushlink.ini
