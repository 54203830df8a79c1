#!/usr/bin/env bash
# Windows cross build (mingw-w64) of stm32cmd.exe and the dialog GUI, with
# libusb cross-built as a DLL by scripts/packages/windows.post; the Windows
# tests run under wine in one prefix inside the build folder, on a private
# Xvfb display. The end-to-end tests run the .exe files against virtual
# boards through scripts/wine-usb.sh; their drivers own the virtual bus and
# come from the native tree (build/, stage 10's when it ran).
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh

# The native tree first, before PKG_CONFIG_LIBDIR points at the Windows libusb.
if [ ! -f build/CMakeCache.txt ]; then
  CC=gcc CXX=g++ cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTM32_WERROR=ON
fi
cmake --build build -j "$(jobs_count)" --target stm32-vboard cli_stm32cmd_test wine_gui_e2e_test

libusb_prefix="$PWD/build-deps/libusb-mingw-dll"
scripts/packages/windows.post # does nothing when the DLL is there
export PKG_CONFIG_LIBDIR="$libusb_prefix/lib/pkgconfig"
export PKG_CONFIG_PATH="$PKG_CONFIG_LIBDIR"

# pkg-config's answer is cached: a build folder made against the static
# libusb of older trees must look again, or the programs link it statically
# and see no board under the bridge.
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSTM32_HOST_BUILD_DIR="$PWD/build" -U 'LIBUSB_*' -U 'pkgcfg_lib_LIBUSB_*' -U '__pkg_config_checked_LIBUSB'
cmake --build build-win -j "$(jobs_count)"

# One prefix for every wine run of the stage, with the X11 driver: the
# dialog program is driven through its windows.
export WINEPREFIX="$PWD/build-win/wineprefix"
export WINEDEBUG=-all
export STM32_WINE_GRAPHICS=x11
export STM32_WINE_USB_PREFIX="$WINEPREFIX"
export STM32_WINE_USB_BRIDGE="$PWD/build-win/usb-bridge"

display_file="$(mktemp)"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
# Whatever happens, no wine process and no X server outlive the stage.
trap 'timeout 30 wineserver -k >/dev/null 2>&1 || true; kill "$xvfb_pid" 2>/dev/null || true; rm -f "$display_file"' EXIT
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "30-windows: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -1 "$display_file")"

# One persistent server for all runs; one prefix and one registry for all
# tests, which run one after the other.
cmake/wine-run.sh --start-server
# No window manager on Xvfb: wine's windows are its own, or every window
# hidden or destroyed would wait for a manager that never answers.
timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
# The zip's own check runs in the package stage.
run_ctest build-win -LE '^package$'
