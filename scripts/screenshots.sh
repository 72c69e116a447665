#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# screenshots.sh: remakes the pictures of the plugin's About and Configure
# boxes in docs/, as users see them:
#   docs/about-linux.png, docs/configure-linux.png     zenity on a Linux desktop
#   docs/about-windows.png, docs/configure-windows.png the 32-bit Hushlink.dll
#                                                      under Wine, Western locale
# Each box is opened by `hushlink-host about|configure` on its own X display
# (Xvfb), captured alone with ImageMagick's `import` and closed with its OK
# button. The pictures carry no time stamps, so the same machine makes the
# same files again. Installs what it needs (as root, with apt-get).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh all
need=()
command -v zenity >/dev/null || need+=(zenity)
command -v import >/dev/null || need+=(imagemagick)
[[ -e /usr/share/fonts/truetype/wqy/wqy-zenhei.ttc ]] || need+=(fonts-wqy-zenhei)
[[ -e /usr/share/wine/fonts/marlett.ttf ]] || need+=(fonts-wine)
[[ -e /usr/share/fonts/truetype/wqy/wqy-microhei.ttc ]] || need+=(fonts-wqy-microhei)
if ((${#need[@]} > 0)); then
  echo "screenshots: installing ${need[*]}" >&2
  [[ -e /tmp/.hushlink-apt-updated ]] || { apt-get update -qq && touch /tmp/.hushlink-apt-updated; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
scripts/build.sh linux win32 >/dev/null

if [[ -z ${HUSHLINK_UNDER_XVFB:-} ]]; then
  exec env HUSHLINK_UNDER_XVFB=1 xvfb-run -a -s "-screen 0 800x600x24 -noreset" "$0" "$@"
fi

mkdir -p docs
work=$(mktemp -d /tmp/hushlink-screenshots-XXXXXX)
pid=
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/inis"
echo "logging = 0" >"$work/inis/Hushlink.ini"
cd "$work"
unset WAYLAND_DISPLAY

# capture PICTURE COMMAND...: runs the command, waits for its box, saves the
# box alone as docs/PICTURE, then presses OK and waits for the command.
capture() {
  local picture=$1 window=
  shift
  "$@" >/dev/null 2>"$work/err" &
  pid=$!
  for _ in $(seq 200); do
    window=$(xdotool search --onlyvisible --name '^Message$' 2>/dev/null | head -n 1) || true
    [[ -n $window ]] && break
    sleep 0.1
  done
  [[ -n $window ]] || { echo "screenshots: no box for $picture: $(cat "$work/err")" >&2; exit 1; }
  # The box in front, as it comes up on a desktop: it takes the focus (there
  # is no window manager to give it), which also lets the OK key go in.
  xdotool windowfocus --sync "$window" 2>/dev/null || true
  sleep 2  # let the box draw itself whole
  import -window "$window" -strip -define png:exclude-chunks=date,time "$root/docs/$picture"
  xdotool key Return
  wait "$pid"
  pid=
  echo "docs/$picture: $(identify -format '%wx%h' "$root/docs/$picture")"
}

linux=("$root/build/host/hushlink-host")
capture about-linux.png env LANG=C.UTF-8 "${linux[@]}" about "$root/build/libHushlink.so"
capture configure-linux.png env LANG=C.UTF-8 "${linux[@]}" configure "$root/build/libHushlink.so"

# A prefix of its own, whose dialog fonts fall back to the CJK font for the
# characters they lack, as a Windows with East Asian support does.
export WINEPREFIX=$root/build-win32/wine-screenshots WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -d $WINEPREFIX ]]; then
  /usr/lib/wine/wine wineboot --init
  # Wine's own Tahoma and the Marlett of the caption buttons, where the
  # Windows system fonts would be.
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  for face in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
    /usr/lib/wine/wine reg add \
      'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null
  done
  # Wine draws the caption and frame itself, as Windows does (there is no
  # window manager to draw them), and smooths its text as Windows does.
  /usr/lib/wine/wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
  desktop='HKCU\Control Panel\Desktop'
  /usr/lib/wine/wine reg add "$desktop" /v FontSmoothing /d 2 /f >/dev/null
  /usr/lib/wine/wine reg add "$desktop" /v FontSmoothingType /t REG_DWORD /d 2 /f >/dev/null
  /usr/lib/wine/wine reg add "$desktop" /v FontSmoothingGamma /t REG_DWORD /d 1400 /f >/dev/null
  /usr/lib/wine/wine reg add "$desktop" /v FontSmoothingOrientation /t REG_DWORD /d 1 /f >/dev/null
  /usr/lib/wine/wineserver -w
fi
windows=(env LANG=en_US.UTF-8 /usr/lib/wine/wine "$root/build-win32/host/hushlink-host.exe")
capture about-windows.png "${windows[@]}" about "$root/build-win32/Hushlink.dll"
capture configure-windows.png "${windows[@]}" configure "$root/build-win32/Hushlink.dll"
/usr/lib/wine/wineserver -w 2>/dev/null || true
