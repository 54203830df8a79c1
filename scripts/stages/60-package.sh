#!/usr/bin/env bash
# Makes the packages and checks them: the two .debs from the native tree
# (build/: stm32cmd, the flasher, and stm32-vboard, the virtual board) and,
# when the Windows cross build can be made (build-win/), the zip. All are
# copied into out/. The .debs are unpacked and their stm32cmd run against the
# virtual board; the zip's file list and its stm32cmd.exe are checked.
#   scripts/stages/60-package.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh

mkdir -p out
status=0

# The native tree as stage 10 configures it; an existing tree keeps its options.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build -j "$(jobs_count)"
rm -f build/stm32cmd_*.deb build/stm32-vboard_*.deb
(cd build && cpack -G DEB)
debs=()
for deb in build/stm32cmd_*.deb build/stm32-vboard_*.deb; do
  [ -f "$deb" ] || continue
  cp "$deb" out/
  debs+=("$PWD/out/$(basename "$deb")")
done
deb="$(printf '%s\n' "${debs[@]}" | grep '/stm32cmd_' || true)"
vboard_deb="$(printf '%s\n' "${debs[@]}" | grep '/stm32-vboard_' || true)"
STM32_PACKAGE_STAGE=1 STM32_DEB="$deb" STM32_VBOARD_DEB="$vboard_deb" run_ctest build -L '^package$' || status=1

# The cross build as the Windows stage makes it; made here when that stage
# has not run but its toolchain and the cross-built libusb are there.
if [ ! -f build-win/CMakeCache.txt ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null &&
   [ -d build-deps/libusb-mingw-dll/lib/pkgconfig ]; then
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
zip=""
if [ -f build-win/CMakeCache.txt ]; then
  cmake --build build-win -j "$(jobs_count)"
  rm -f build-win/stm32cmd-*.zip
  (cd build-win && cpack -G ZIP)
  zip="$(ls build-win/stm32cmd-*.zip)"
  cp "$zip" out/
  zip="$PWD/out/$(basename "$zip")"
  # The Windows stage's wine prefix is ready made; no wine process outlives us.
  export WINEPREFIX="$PWD/build-win/wineprefix" WINEDEBUG=-all
  trap 'timeout 30 wineserver -k >/dev/null 2>&1 || true' EXIT
  STM32_ZIP="$zip" run_ctest build-win -L '^package$' || status=1
else
  echo "60-package: no Windows cross build in build-win; zip skipped"
fi

for deb in "${debs[@]}"; do
  echo "--- $(basename "$deb"): $(stat -c %s "$deb") bytes"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print "    " $3 "  " $6 }'
done
if [ -n "$zip" ]; then
  echo "--- $(basename "$zip"): $(stat -c %s "$zip") bytes"
  unzip -l "$zip" | sed 's/^/    /'
fi
exit "$status"
