#!/usr/bin/env bash
# macOS application: the GNUstep build (clang) with its tests under Xvfb,
# the ARC syntax check of the sources, and the Darwin bundle layout from a
# generate-only configure.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh

build=build-gnustep
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTM32_BUILD_MAC=ON >/dev/null
cmake --build "$build" -j "$(jobs_count)" --target TidewireMacUtility mac_device_tests mac_terminal_tests \
  mac_interface_tests

mac/gnustep/arc-check.sh "$build"

# Darwin: configure only (no SDK here), then check what the bundle would be.
darwin="$build/darwin"
rm -rf "$darwin"
cmake -S . -B "$darwin" -DCMAKE_SYSTEM_NAME=Darwin -DSTM32_BUILD_MAC=ON -DSTM32_BUILD_TESTS=OFF \
  -DCMAKE_C_COMPILER=/usr/bin/clang -DCMAKE_CXX_COMPILER=/usr/bin/clang++ -DCMAKE_OBJCXX_COMPILER=/usr/bin/clang++ \
  -DCMAKE_C_COMPILER_WORKS=ON -DCMAKE_CXX_COMPILER_WORKS=ON -DCMAKE_OBJCXX_COMPILER_WORKS=ON \
  -DCMAKE_INSTALL_NAME_TOOL=/bin/true >/dev/null
plist="$darwin/mac/TidewireMacUtility.app/Contents/Info.plist"
link="$darwin/mac/CMakeFiles/TidewireMacUtility.dir/link.txt"
flags="$darwin/mac/CMakeFiles/TidewireMacUtility.dir/flags.make"
check() { if ! "$@"; then echo "bundle layout check failed: $*"; exit 1; fi; }
check test -f "$plist"
for key in CFBundleExecutable CFBundleIdentifier NSHumanReadableCopyright NSAppleEventsUsageDescription \
           NSPrincipalClass; do
  check grep -q "<key>$key</key>" "$plist"
done
check grep -q -- "-o TidewireMacUtility.app/Contents/MacOS/TidewireMacUtility" "$link"
check grep -q -- "-framework Cocoa" "$link"
check grep -q -- "libstm32core.a" "$link"
check grep -q -- "-fobjc-arc" "$flags"
echo "Darwin bundle layout: TidewireMacUtility.app/Contents/{Info.plist,MacOS/TidewireMacUtility} ok"

. tests/mac/session.sh
trap gnustep_session_end EXIT
gnustep_session_start
run_ctest "$build" -L mac -j "$(jobs_count)"
