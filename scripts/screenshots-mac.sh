#!/usr/bin/env bash
# Screenshots of the macOS application's log and preferences windows, as
# the GNUstep build shows them under Xvfb with a virtual board:
# docs/screenshots/mac-log.png and docs/screenshots/mac-preferences.png.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-gnustep
CC=clang CXX=clang++ cmake -S . -B "$build" -DSTM32_BUILD_MAC=ON >/dev/null
cmake --build "$build" -j 2 --target mac_screenshots
. tests/mac/session.sh
handshake="$(mktemp -d)"
driver=
finish() {
  [ -n "$driver" ] && kill "$driver" 2>/dev/null || true
  gnustep_session_end
  rm -rf "$handshake"
}
trap finish EXIT
gnustep_session_start
"$build/tests/mac/mac_screenshots" "$handshake" >"$handshake/driver.log" 2>&1 &
driver=$!
mkdir -p docs/screenshots
capture() { # <phase> <window name> <output>
  local i id
  for i in $(seq 1 600); do
    [ -e "$handshake/$1-ready" ] && break
    kill -0 "$driver" 2>/dev/null || { cat "$handshake/driver.log"; exit 1; }
    sleep 0.1
  done
  id="$(xdotool search --name "^$2\$" | head -1)"
  [ -n "$id" ] || { echo "no window named $2"; exit 1; }
  import -window "$id" -strip -colors 64 "png8:$3"
  touch "$handshake/$1-done"
  echo "wrote $3 ($(stat -c %s "$3") bytes)"
}
capture log TidewireMacUtility docs/screenshots/mac-log.png
capture prefs Preferences docs/screenshots/mac-preferences.png
wait "$driver"
driver=
