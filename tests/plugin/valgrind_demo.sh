#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# valgrind_demo.sh HOST MODULE
# The harness's demo session, logging on, under valgrind's memcheck: no
# memory errors and no definitely lost memory. Exits 77 (a skip) without
# valgrind, unless CI=true.
set -uo pipefail
host=$1
module=$2
if ! command -v valgrind >/dev/null; then
  if [[ ${CI:-} == true ]]; then
    echo "FAILED: valgrind is missing; CI must have it (scripts/setup.sh installs it)" >&2
    exit 1
  fi
  echo "SKIPPED: valgrind is missing (scripts/setup.sh installs it as root)" >&2
  exit 77
fi
work=$(mktemp -d /tmp/hushlink-valgrind-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/inis" "$work/logs"
echo "logging = 1" >"$work/inis/Hushlink.ini"
cd "$work"
valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
  --show-leak-kinds=definite "$host" run "$module" >/dev/null
status=$?
if ((status != 0)); then
  echo "FAILED: memcheck reported errors or lost memory (exit $status)" >&2
  exit 1
fi
[[ -s logs/Hushlink.log ]] || { echo "FAILED: the session wrote no log" >&2; exit 1; }
echo "memcheck: no errors, nothing definitely lost"
