#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# man_page.sh PAGE
# The manual page renders at 80 columns with groff's warnings on and none
# given, and covers every command, the files, the environment and the exit
# status. Exits 77 (a skip) without man, unless CI=true.
set -uo pipefail
page=$1
if ! command -v man >/dev/null; then
  if [[ ${CI:-} == true ]]; then
    echo "FAILED: man is missing; CI must have it (scripts/setup.sh installs it)" >&2
    exit 1
  fi
  echo "SKIPPED: man is missing (scripts/setup.sh installs it as root)" >&2
  exit 77
fi
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
[[ -s $page ]] || fail "no manual page at $page"
work=$(mktemp -d /tmp/hushlink-man-XXXXXX)
trap 'rm -rf "$work"' EXIT
MANWIDTH=80 man --warnings -l "$page" >"$work/page.txt" 2>"$work/warnings.txt" ||
  fail "man could not render $page: $(cat "$work/warnings.txt")"
[[ ! -s $work/warnings.txt ]] || fail "rendering $page gave warnings:
$(cat "$work/warnings.txt")"
# Plain text, whatever man's pager and terminal settings: no overstriking.
text=$(sed 's/.\x08//g' "$work/page.txt")
long=$(awk 'length > 80' <<<"$text")
[[ -z $long ]] || fail "lines wider than 80 columns:
$long"
for heading in NAME SYNOPSIS DESCRIPTION "   Commands:" "   Exit status:" ENVIRONMENT FILES \
               EXAMPLES COPYRIGHT; do
  grep -qx "$heading" <<<"$text" || fail "no heading '$heading' in the page"
done
for entry in "info MODULE" "run MODULE [TRACE]" "check [--timeout=SECONDS] MODULE" \
             "replay MODULE LOG" "summary [--csv] LOG" "about MODULE" "configure MODULE" \
             "help [COMMAND]" "inis/Hushlink.ini" "logs/Hushlink.log"; do
  grep -qxF "       $entry" <<<"$text" || fail "no entry for '$entry' in the page"
done
grep -q "^hushlink-host [0-9][0-9.]* " <<<"$text" || fail "no version in the page's footer"
echo "$page: $(wc -l <<<"$text") lines, no warnings"
