#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# run-in-wine.sh win32|win64 PREFIX [PROGRAM ARGS...]
# run-in-wine.sh --session win32|win64 PREFIX -- COMMAND [ARGS...]
#
# Runs a Windows program under Wine, headless under Xvfb, in a fresh temporary
# working directory: the Windows builds' CMAKE_CROSSCOMPILING_EMULATOR. The
# Wine prefix is made on first use; programs sharing it run one at a time.
# Without a program, it only makes the prefix.
#
# --session runs COMMAND (a whole suite) with one Xvfb display and one Wine
# server kept up for every program it runs through this script with that
# prefix: each then starts in a second or two, not in ten (under emulation)
# while Wine starts its own services again. They are stopped when COMMAND
# ends, and its status is this script's.
#
# Exits 77 (a skip, never a pass) when this machine cannot run it, saying
# why; under CI=true a missing tool is a failure instead.
set -uo pipefail
session=false
if [[ ${1:-} == --session ]]; then
  session=true
  shift
fi
arch=$1
prefix=$2
shift 2
if $session; then
  [[ ${1:-} == -- ]] && (($# > 1)) || { echo "run-in-wine.sh --session: no command given" >&2; exit 2; }
  shift
  command=("$@")
fi

# Where Wine cannot run here, a session runs its command without one: each
# program in it then skips or fails by itself, saying why, and the suite's
# tests that need no Wine still run.
skip() {
  if $session; then
    echo "run-in-wine.sh: no Wine session for $arch ($*)" >&2
    exec "${command[@]}"
  fi
  echo "SKIPPED ($arch under Wine): $*" >&2
  exit 77
}

missing_tool() {
  if [[ ${CI:-} == true ]] && ! $session; then
    echo "FAILED ($arch under Wine): $* is missing; CI must have it (scripts/setup.sh installs it)" >&2
    exit 1
  fi
  skip "$* is missing (scripts/setup.sh installs it as root)"
}

# A kernel built or booted without 32-bit support cannot start the 32-bit
# Wine loader at all (nor can qemu-i386, which binfmt_misc may hand 32-bit
# programs to). scripts/test.sh runs these tests in a QEMU guest whose kernel
# does; run here, they are skipped, saying why.
if [[ $arch == win32 ]] && ! "$(dirname "$0")/../../scripts/kernel-runs-32bit.sh"; then
  reason="this kernel does not run 32-bit x86 programs itself, so 32-bit Wine cannot"
  reason+=" start here; scripts/test.sh runs these tests in a QEMU guest whose kernel"
  reason+=" does (scripts/run-in-guest.sh)"
  skip "$reason"
fi

case $arch in
  win32) loader=/usr/lib/wine/wine ;;
  win64) loader=/usr/lib/wine/wine64 ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
[[ -x $loader ]] || missing_tool "the Wine loader $loader (Debian wine, wine32:i386 or wine64)"
command -v xvfb-run >/dev/null || missing_tool "xvfb-run (Debian xvfb)"
command -v xauth >/dev/null || missing_tool "xauth (Debian xauth)"

"$loader" --version >/dev/null 2>&1 || missing_tool "a Wine loader that starts ($loader does not)"

# Where the kernel runs no 32-bit x86 programs, 64-bit Wine would still hand
# the 32-bit half of a new prefix to any emulator binfmt_misc names for them
# (the 32-bit Linux tests register qemu-i386), which takes minutes and may
# fail. The 64-bit tests start no 32-bit program: in a mount namespace of
# their own, 32-bit Wine is hidden from them, and Wine leaves that half out.
in_wine=("$loader")
if [[ $arch == win64 && -e /usr/lib/wine/wine ]] && ! "$(dirname "$0")/../../scripts/kernel-runs-32bit.sh" &&
   unshare --mount --propagation private -- true 2>/dev/null; then
  in_wine=(unshare --mount --propagation private --
           sh -c 'mount --bind /dev/null /usr/lib/wine/wine && exec "$@"' sh "$loader")
fi

# Without its debugger, a program that crashes ends at once with a failing
# status, where the debugger would wait, and under emulation take minutes.
# Without the menu builder, which has no desktop menus to make here, a new
# prefix is made in two thirds of the time.
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe,winemenubuilder.exe=d"
mkdir -p "$prefix"
exec 9>"$prefix.lock"
flock 9
if [[ ! -e $prefix/user.reg ]]; then
  # Under slow emulation (a QEMU guest without KVM) the first start can stop
  # waiting for the new prefix after five minutes while it is still being
  # made: let that finish, then start once more.
  if ! "${in_wine[@]}" wineboot --init; then
    /usr/lib/wine/wineserver -w 2>/dev/null
    "${in_wine[@]}" wineboot --init ||
      { echo "FAILED ($arch under Wine): cannot make the prefix" >&2; exit 1; }
  fi
  # Xvfb runs no window manager: without this, Wine waits two seconds for
  # one at every message box.
  "${in_wine[@]}" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
  /usr/lib/wine/wineserver -w 2>/dev/null || true
fi

(($# > 0)) || exit 0

if $session; then
  # The lock keeps other programs off the prefix while it is made; the suite's
  # programs take turns by themselves, and the server started here must not
  # hold it.
  exec 9>&-
  session_dir=$(mktemp -d /tmp/hushlink-wine-session-XXXXXX)
  xvfb=
  # The server, the services and the display go with the session, however
  # it ends.
  end_session() {
    /usr/lib/wine/wineserver -k 2>/dev/null
    /usr/lib/wine/wineserver -w 2>/dev/null
    if [[ -n $xvfb ]]; then
      kill "$xvfb" 2>/dev/null
      wait "$xvfb" 2>/dev/null
    fi
    rm -rf "$session_dir"
  }
  trap end_session EXIT
  trap 'exit 143' TERM INT
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 -noreset 3>"$session_dir/display" \
    >"$session_dir/xvfb.log" 2>&1 &
  xvfb=$!
  # Slow to start under emulation: up to a minute.
  for _ in $(seq 600); do
    [[ -s $session_dir/display ]] || ! kill -0 "$xvfb" 2>/dev/null && break
    sleep 0.1
  done
  display=$(<"$session_dir/display")
  if [[ -z $display ]]; then
    cat "$session_dir/xvfb.log" >&2
    echo "FAILED ($arch under Wine): Xvfb did not start" >&2
    exit 1
  fi
  /usr/lib/wine/wineserver -p
  # Wine's services and desktop start with the first program and outlive it:
  # started here, they hold no test's output open.
  DISPLAY=:$display "${in_wine[@]}" cmd /c exit </dev/null >/dev/null 2>&1
  HUSHLINK_WINE_SESSION="$prefix:$display" "$@"
  exit
fi

work=$(mktemp -d /tmp/hushlink-wine-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
if [[ ${HUSHLINK_WINE_SESSION:-} == "$prefix":* ]]; then
  exec 9>&-
  DISPLAY=:${HUSHLINK_WINE_SESSION##*:} "${in_wine[@]}" "$@"
  exit
fi
# Wine's desktop process outlives the program and complains when Xvfb goes.
# Each architecture looks for a free display from a number of its own, so that
# the two suites can run side by side.
first_display=$([[ $arch == win32 ]] && echo 120 || echo 160)
xvfb-run -a -n "$first_display" -s "-screen 0 1024x768x24 -noreset" "${in_wine[@]}" "$@" \
  2> >(grep -v '^X connection to' >&2)
