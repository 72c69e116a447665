#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# desktop_about_test.sh CALLER MODULE
#
# Under Xvfb, with xmessage the only dialog program on PATH, FWabout must open
# a window titled "Message" and return only once that window is closed; and
# xmessage must be given the About text in the user's character set: UTF-8
# with its international resource in a UTF-8 locale, "?" for each Chinese
# character in the C locale.
# Exits 77 (a skip) when a tool is missing, unless CI=true.
set -uo pipefail
caller=$1
module=$2

missing_tool() {
  if [[ ${CI:-} == true ]]; then
    echo "FAILED: $* is missing; CI must have it (scripts/setup.sh installs it)" >&2
    exit 1
  fi
  echo "SKIPPED: $* is missing (scripts/setup.sh installs it as root)" >&2
  exit 77
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

for tool in xvfb-run xauth xmessage xdotool; do
  command -v "$tool" >/dev/null || missing_tool "$tool"
done

if [[ -z ${HUSHLINK_UNDER_XVFB:-} ]]; then
  exec env HUSHLINK_UNDER_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
fi

work=$(mktemp -d /tmp/hushlink-desktop-XXXXXX)
pid=
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/bin"
# The real xmessage, with what it was given written down first.
{
  echo '#!/bin/sh'
  echo "printf '%s\\n' \"\$@\" >\"$work/xmessage-arguments\""
  echo "exec $(command -v xmessage) \"\$@\""
} >"$work/bin/xmessage"
chmod +x "$work/bin/xmessage"
xdotool=$(command -v xdotool)
cd "$work" || exit 1
unset WAYLAND_DISPLAY

# about LOCALE: FWabout in that locale, its window closed by the user; what
# xmessage was given is left in $work/xmessage-arguments.
about() {
  rm -f "$work/xmessage-arguments" "$work/out"
  LC_ALL=$1 PATH="$work/bin" "$caller" "$module" FWabout >"$work/out" 2>"$work/err" &
  pid=$!

  window=
  for _ in $(seq 100); do
    window=$("$xdotool" search --name '^Message$' 2>/dev/null | head -n 1)
    [[ -n $window ]] && break
    sleep 0.1
  done
  [[ -n $window ]] || fail "no window titled \"Message\" appeared; stderr: $(cat "$work/err")"
  [[ $("$xdotool" getwindowname "$window") == Message ]] || fail "the window's title is not Message"

  sleep 1
  kill -0 "$pid" 2>/dev/null || fail "FWabout returned while its window was still open"
  [[ -s $work/out ]] && fail "FWabout returned while its window was still open"

  # The user presses the default button, OK.
  "$xdotool" key --window "$window" Return
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && fail "FWabout did not return after its window was closed"
  wait "$pid" || fail "the caller failed: $(cat "$work/err")"
  [[ $(cat "$work/out") == "FWabout returned" ]] || fail "unexpected output: $(cat "$work/out")"
}

about C.UTF-8
expected=$(printf '%s\n' -xrm '*international: true' -title Message -buttons OK -default OK \
  -center 'Hushlink：纯粹的空插件。')
[[ $(cat "$work/xmessage-arguments") == "$expected" ]] ||
  fail "in a UTF-8 locale xmessage was given: $(cat "$work/xmessage-arguments")"

about C
expected=$(printf '%s\n' -title Message -buttons OK -default OK -center 'Hushlink????????')
[[ $(cat "$work/xmessage-arguments") == "$expected" ]] ||
  fail "in the C locale xmessage was given: $(cat "$work/xmessage-arguments")"

echo "FWabout opened a window titled Message and returned once it was closed;" \
  "xmessage was given the text in the locale's character set"
