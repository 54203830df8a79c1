#!/usr/bin/env bash
# The Windows zip holds the two programs, the libusb-1.0.dll they load and
# the README in one top folder, the programs need no DLL that Windows lacks
# and the zip does not carry, the DLL is the cross-built libusb (never the
# wine test bridge), and both unpacked programs start (under wine).
#   check_zip.sh <cross build dir> [GUI program name [libusb-1.0.dll it must carry]]
# STM32_ZIP names the zip to check; without it one is built with cpack.
set -uo pipefail
build="$(cd "$1" && pwd)"
gui="${2:-}"
libusb_dll="${3:-}"
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/checks.sh"

triple=x86_64-w64-mingw32
objdump="$triple-objdump"
sysroot_lib="/usr/$triple/lib"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

zip="${STM32_ZIP:-}"
if [ -z "$zip" ]; then
  check "cpack builds the zip" cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$work/cpack"
  zip="$(ls "$work"/cpack/*.zip 2>/dev/null | head -1)"
fi
[ -n "$zip" ] && [ -f "$zip" ] || { check "a zip to check exists" false; finish; }
echo "checking $zip"

top="$(basename "$zip" .zip)"
expected="$(printf '%s\n' "$top/README.txt" "$top/stm32cmd.exe" "$top/libusb-1.0.dll" ${gui:+"$top/$gui"} | sort)"
actual="$(cmake -E tar tf "$zip" | grep -v '/$' | sort)"
check "zip holds exactly the programs, libusb-1.0.dll and README in $top/" test "$expected" = "$actual"
[ "$expected" = "$actual" ] || diff <(echo "$expected") <(echo "$actual") | sed 's/^/    /'

(cd "$work" && cmake -E tar xf "$zip")
dir="$work/$top"

check "README.txt has Windows line ends" bash -c "! grep -qv \$'\\r\$' '$dir/README.txt'"
check "README.txt explains the WinUSB driver" grep -q 'WinUSB' "$dir/README.txt"

# A DLL is Windows' own when the cross toolchain has an import library for
# it; anything else (libstdc++-6.dll, libusb-1.0.dll...) must be in the zip.
dll_available() {
  local dll="${1,,}"
  local base="${dll%.dll}"
  [[ "$dll" == api-ms-win-* ]] || [ -f "$sysroot_lib/lib$base.a" ] || [ -f "$dir/$1" ]
}

subsystem() { "$objdump" -p "$1" | awk '$1 == "Subsystem" { print $2 }'; }

for exe in "$dir"/*.exe; do
  name="$(basename "$exe")"
  while read -r dll; do
    check "$name: $dll is available" dll_available "$dll"
  done < <("$objdump" -p "$exe" | awk '/DLL Name:/ { print $3 }')
done
check "programs carry no debug sections" \
  bash -c "! '$objdump' -h '$dir'/*.exe | grep -q '\.debug_'"
check "stm32cmd.exe is a console program" test "$(subsystem "$dir/stm32cmd.exe")" = 00000003
if [ -n "$gui" ]; then
  check "$gui is a windowed program" test "$(subsystem "$dir/$gui")" = 00000002
fi

# The test bridge of scripts/wine-usb.sh is a winelib library for Linux: it
# must never stand in for the real DLL.
check "libusb-1.0.dll is a Windows x64 DLL" bash -c "'$objdump' -f '$dir/libusb-1.0.dll' | grep -q 'file format pei-x86-64'"
check "libusb-1.0.dll is not the wine test bridge" bash -c "! grep -qa 'bridge_control_transfer' '$dir/libusb-1.0.dll'"
check "no winelib library in the zip" bash -c "! cmake -E tar tf '$zip' | grep -q '\.so\$'"
if [ -n "$libusb_dll" ]; then
  check "libusb-1.0.dll is the cross-built libusb" cmp -s "$libusb_dll" "$dir/libusb-1.0.dll"
fi

# The unpacked program starts: a missing DLL would stop it here.
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix-package}"
(cd "$dir" && bash "$here/../../cmake/wine-run.sh" ./stm32cmd.exe -h >/dev/null 2>"$work/usage.txt")
status=$?
usage="$(tr -d '\r' < "$work/usage.txt")"
check "unpacked stm32cmd.exe -h exits with 7" test "$status" -eq 7
check "unpacked stm32cmd.exe -h prints the usage text" grep -q '^Exit codes:' <<<"$usage"

# The dialog program starts from the zip too and shows its window (the
# cross build's window helper starts it and waits for the status line).
show="$build/tests/win/gui_show.exe"
if [ -n "$gui" ] && [ -f "$show" ]; then
  (cd "$dir" && bash "$here/../../cmake/wine-run.sh" "$show" start "$dir/$gui" >/dev/null 2>&1)
  status=$?
  check "unpacked $gui starts and shows its status line" test "$status" -eq 0
  bash "$here/../../cmake/wine-run.sh" "$show" exit >/dev/null 2>&1
fi

finish
