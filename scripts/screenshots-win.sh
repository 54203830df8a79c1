#!/usr/bin/env bash
# Screenshots of the Windows GUI under wine: the main window, Preferences and
# About, in wine's virtual desktop on a private Xvfb display (without a
# window manager every window destroy would stall for seconds).
#   scripts/screenshots-win.sh [build folder]   (default build-win)
# Writes docs/screenshots/win-main.png, win-preferences.png, win-about.png.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-win}"
out=docs/screenshots
program="$build/win/TidewireSTM32Utility.exe"
show="$build/tests/win/gui_show.exe"
for f in "$program" "$show"; do
  [ -f "$f" ] || { echo "screenshots: $f missing; run scripts/stages/30-windows.sh first" >&2; exit 1; }
done
mkdir -p "$out"

export WINEPREFIX="$PWD/$build/wineprefix-screenshots"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

work="$(mktemp -d)"
xvfb_pid=""
cleanup() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A free display number, chosen by Xvfb itself.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "screenshots: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -1 "$work/display")"

if [ ! -f "$WINEPREFIX/.stm32-ready" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 180 wineboot -i >/dev/null 2>&1
  timeout 60 wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  timeout 60 wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
  timeout 60 wineserver -w
  touch "$WINEPREFIX/.stm32-ready"
fi
# wine does not pick up its own fonts from the fonts-wine folder here: copy
# them into the prefix, or the title-bar buttons (Marlett) show as letters.
for font in marlett.ttf tahoma.ttf tahomabd.ttf; do
  if [ -f "/usr/share/wine/fonts/$font" ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/$font" ]; then
    cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
done
timeout 30 wine reg delete 'HKCU\Software\TidewireSTM32Utility' /f >/dev/null 2>&1 || true

# A file on the command line puts the no-target line into the log.
head -c 4096 /dev/zero > "$work/firmware.bin"
timeout 60 wine "$show" start "$program" "$work/firmware.bin"

shoot() { # window name
  local rect x y w h
  rect="$(timeout 60 wine "$show" "$1" | tr -d '\r')"
  read -r x y w h <<<"$rect"
  [ -n "${h:-}" ] || { echo "screenshots: no $1 window" >&2; exit 1; }
  import -window root -crop "${w}x${h}+${x}+${y}" +repage "png8:$out/win-$1.png"
  echo "screenshots: $out/win-$1.png (${w}x${h})"
}
shoot main
shoot preferences
timeout 30 wine "$show" hide
shoot about
timeout 30 wine "$show" hide
timeout 30 wine "$show" exit
