#!/usr/bin/env bash
# stm32cmd on a virtual STM32 board: list it, program the sample image as raw
# binary and as Intel HEX, read the flash back and compare it with the sample.
# Builds stm32cmd and the virtual board into build/ first if needed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
stm32cmd="$build/cli/stm32cmd"
vboard="$build/vboard/stm32-vboard"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target stm32cmd stm32-vboard

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
size="$(wc -c < examples/blink.bin)"

# A real board starts the new program after an upload and leaves the
# bootloader, so every step powers up a fresh F1-like board (real timing) in
# bootloader mode with the flash the previous step left, as a user resetting
# the board into the bootloader would.
flash="$work/flash.bin"
on_board() {
  local initial=(--pattern 1)
  [ -f "$flash" ] && initial=(--flash "$flash")
  printf '\n$ %s\n' "$*"
  "$vboard" --board f1 "${initial[@]}" --dump "$work/next.bin" --time-scale 1 -- "$@"
  mv "$work/next.bin" "$flash"
}

on_board "$stm32cmd" -l

on_board "$stm32cmd" examples/blink.bin
on_board "$stm32cmd" -d -s "$size" -f "$work/readback-bin.bin"
cmp examples/blink.bin "$work/readback-bin.bin"
echo "raw binary: the $size bytes read back match examples/blink.bin"

on_board "$stm32cmd" -e -s 0
on_board "$stm32cmd" -d -s "$size" -f "$work/erased.bin"
if cmp -s examples/blink.bin "$work/erased.bin"; then
  echo "demo: flash still holds the image after the erase" >&2
  exit 1
fi
echo "erased: the image is gone"

on_board "$stm32cmd" examples/blink.hex
on_board "$stm32cmd" -d -s "$size" -f "$work/readback-hex.bin"
cmp examples/blink.bin "$work/readback-hex.bin"
echo "Intel HEX: the $size bytes read back match examples/blink.bin"

printf '\nDemo finished: listed, programmed (binary and Intel HEX), erased, read back and compared.\n'
