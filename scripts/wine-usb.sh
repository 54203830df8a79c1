#!/usr/bin/env bash
# Runs a Windows program of this project under wine with USB access: the
# libusb-1.0.dll that the program loads is replaced by a test bridge (a
# winelib DLL that hands every call to the host's libusb-1.0.so.0), so the
# unchanged .exe reaches whatever USB bus the host's libusb sees: real
# boards, or the virtual board of a umockdev testbed that this script runs
# inside of, for example
#   build/vboard/stm32-vboard --board f4 -- scripts/wine-usb.sh build-win/cli/stm32cmd.exe -l
#
#   scripts/wine-usb.sh PROGRAM.exe [ARGS...]
#
# Standard input, output, error and the exit status are the program's. The
# dialog program needs an X display (DISPLAY, Xvfb in CI).
# The wine prefix is the script's own, made on first use (about 15 s):
# STM32_WINE_USB_PREFIX, default build-wine-usb/prefix in the source tree.
# The bridge is built with winegcc (wine64-tools, libwine-dev) when it is
# missing or older than its source: STM32_WINE_USB_BRIDGE, default
# build-wine-usb/bridge. Wine's own USB driver is kept out: it would hold
# the device and cannot serve libusb anyway.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source_dir="$root/tests/wine/usb_bridge"
bridge_dir="${STM32_WINE_USB_BRIDGE:-$root/build-wine-usb/bridge}"
export WINEPREFIX="${STM32_WINE_USB_PREFIX:-$root/build-wine-usb/prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# Builtin (the bridge) before the DLL beside the program; no Mono or Gecko
# installers, no debugger waiting on a crash, no wineusb.sys.
export WINEDLLOVERRIDES="libusb-1.0=b;mscoree,mshtml=;winedbg.exe=d;wineusb.sys=d"
export WINEDLLPATH="$bridge_dir${WINEDLLPATH:+:$WINEDLLPATH}"

if [ $# -lt 1 ]; then
  echo "usage: wine-usb.sh PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
if [ ! -f "$1" ]; then
  echo "wine-usb.sh: no such program: $1" >&2
  exit 127
fi

# The testbed's preload is for the program only: wine's server and services
# outlive the testbed.
without_testbed() {
  env -u UMOCKDEV_DIR LD_PRELOAD="$(tr ' :' '\n\n' <<<"${LD_PRELOAD:-}" | grep -v umockdev | paste -sd:)" "$@"
}

build_bridge() {
  local library="$bridge_dir/libusb-1.0.dll.so"
  if [ -f "$library" ] && [ "$library" -nt "$source_dir/bridge.c" ] && [ "$library" -nt "$source_dir/libusb-1.0.spec" ]; then
    return 0
  fi
  command -v winegcc >/dev/null || { echo "wine-usb.sh: winegcc not found (install wine64-tools and libwine-dev)" >&2; return 1; }
  mkdir -p "$bridge_dir"
  (
    flock 9
    [ -f "$library" ] && [ "$library" -nt "$source_dir/bridge.c" ] && [ "$library" -nt "$source_dir/libusb-1.0.spec" ] && exit 0
    local cflags
    cflags="$(pkg-config --cflags libusb-1.0 2>/dev/null || echo -I/usr/include/libusb-1.0)"
    # shellcheck disable=SC2086
    without_testbed winegcc -shared -O2 $cflags -o "$bridge_dir/libusb-1.0.dll" \
      "$source_dir/bridge.c" "$source_dir/libusb-1.0.spec" -lusb-1.0
  ) 9>"$bridge_dir/.lock"
}

prepare_prefix() {
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.stm32-usb-ready" ]; then
      if [ ! -f "$WINEPREFIX/system.reg" ]; then
        without_testbed timeout 180 wineboot -i >/dev/null 2>&1 || exit 1
      fi
      without_testbed timeout 30 wineserver -w
      touch "$WINEPREFIX/.stm32-usb-ready"
    fi
  ) 9>"$WINEPREFIX/.stm32-lock"
}

# A server that stays a while after the program, with wine's services
# started detached from our output: services started by the program itself
# would hold its standard output open until the server ends.
ensure_server() {
  if ! without_testbed wineserver -k0 2>/dev/null; then
    without_testbed timeout 30 wineserver -p30 </dev/null >/dev/null 2>&1 || return 1
    without_testbed timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1
  fi
  return 0
}

build_bridge || { echo "wine-usb.sh: cannot build the USB bridge" >&2; exit 125; }
prepare_prefix || { echo "wine-usb.sh: cannot make the wine prefix $WINEPREFIX" >&2; exit 125; }
ensure_server || { echo "wine-usb.sh: cannot start wineserver" >&2; exit 125; }
exec wine "$@"
