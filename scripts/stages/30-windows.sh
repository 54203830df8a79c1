#!/usr/bin/env bash
# Windows cross build (mingw-w64) of stm32cmd.exe and the dialog GUI, with
# libusb cross-built by scripts/packages/windows.post; the Windows tests run
# under wine, headless, in a prefix of their own inside the build folder.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh

libusb_prefix="$PWD/build-deps/libusb-mingw"
if [ ! -f "$libusb_prefix/lib/pkgconfig/libusb-1.0.pc" ]; then
  scripts/packages/windows.post
fi
export PKG_CONFIG_LIBDIR="$libusb_prefix/lib/pkgconfig"
export PKG_CONFIG_PATH="$PKG_CONFIG_LIBDIR"

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-win -j "$(jobs_count)"

export WINEPREFIX="$PWD/build-win/wineprefix"
export WINEDEBUG=-all
# Whatever happens, no wine process outlives the stage.
trap 'timeout 30 wineserver -k >/dev/null 2>&1 || true' EXIT
# One persistent server for all runs; one prefix and one registry for all
# tests, which run one after the other.
cmake/wine-run.sh --start-server
# The zip's own check runs in the package stage.
run_ctest build-win -LE '^package$'
