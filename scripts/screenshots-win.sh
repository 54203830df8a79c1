#!/usr/bin/env bash
# Screenshots of the Windows dialog program from real runs: the end-to-end
# scenarios run the unchanged program under wine against virtual boards
# (scripts/wine-usb.sh) on a private Xvfb display, and take a picture at
# their main moments: a board found, after an upload, Preferences with the
# option area in use, a read-protected board refused.
#   scripts/screenshots-win.sh [cross build folder] [native build folder]
#   (defaults build-win and build, as the Windows stage leaves them)
# Writes docs/screenshots/win-main.png, win-upload.png, win-preferences.png
# and win-error.png.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-win}"
host="${2:-build}"
out="$PWD/docs/screenshots"
program="$PWD/$build/win/TidewireSTM32Utility.exe"
probe="$PWD/$build/tests/wine/gui_probe.exe"
driver="$PWD/$host/tests/wine/wine_gui_e2e_test"
for f in "$program" "$probe" "$driver"; do
  [ -f "$f" ] || { echo "screenshots: $f missing; run scripts/stages/30-windows.sh first" >&2; exit 1; }
done
mkdir -p "$out"

export WINEPREFIX="$PWD/$build/wineprefix-screenshots"
export WINEDEBUG=-all
export STM32_WINE_USB_PREFIX="$WINEPREFIX"
export STM32_WINE_USB_BRIDGE="$PWD/$build/usb-bridge"
export STM32_GUI_PROGRAM="$program" STM32_GUI_PROBE="$probe" STM32_SCREENSHOT_DIR="$out"

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

if [ ! -f "$WINEPREFIX/.stm32-screenshots" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 180 wineboot -i >/dev/null 2>&1
  # No window manager on Xvfb: wine draws the frames itself.
  timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  timeout 60 wineserver -w
  touch "$WINEPREFIX/.stm32-screenshots"
fi
# wine does not pick up its own fonts from the fonts-wine folder here: copy
# them into the prefix, or the title-bar buttons (Marlett) show as letters.
for font in marlett.ttf tahoma.ttf tahomabd.ttf; do
  if [ -f "/usr/share/wine/fonts/$font" ] && [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/$font" ]; then
    cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
done

"$driver" --gtest_filter='*EveryFormat*:*OptionArea*:*ReadProtected*'
for name in win-main win-upload win-preferences win-error; do
  [ -s "$out/$name.png" ] || { echo "screenshots: $out/$name.png not taken" >&2; exit 1; }
  echo "screenshots: $out/$name.png"
done
