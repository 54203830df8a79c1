#!/usr/bin/env bash
# stm32cmd on a virtual STM32 board: list it, program the sample image as raw
# binary and as Intel HEX, read the flash back and compare it with the sample.
#   scripts/demo.sh          build what is missing into build/, then run the demo
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
stm32cmd="$build/cli/stm32cmd"
vboard="$build/vboard/stm32-vboard"

run_steps() {
  local work size
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  size="$(wc -c < examples/blink.bin)"

  step() { printf '\n$ %s\n' "$*"; "$@"; }

  step "$stm32cmd" -l

  step "$stm32cmd" examples/blink.bin
  step "$stm32cmd" -d -s "$size" -f "$work/readback-bin.bin"
  step cmp examples/blink.bin "$work/readback-bin.bin"
  echo "raw binary: the $size bytes read back match examples/blink.bin"

  step "$stm32cmd" -e -s 0
  step "$stm32cmd" -d -s "$size" -f "$work/erased.bin"
  if cmp -s examples/blink.bin "$work/erased.bin"; then
    echo "demo: flash still holds the image after the erase" >&2
    exit 1
  fi
  echo "erased: the image is gone"

  step "$stm32cmd" examples/blink.hex
  step "$stm32cmd" -d -s "$size" -f "$work/readback-hex.bin"
  step cmp examples/blink.bin "$work/readback-hex.bin"
  echo "Intel HEX: the $size bytes read back match examples/blink.bin"

  printf '\nDemo finished: listed, programmed (binary and Intel HEX), erased, read back and compared.\n'
}

if [ "${1:-}" = "--steps" ]; then
  run_steps
  exit 0
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target stm32cmd stm32-vboard

# One F1-like board with realistic timing, flash pre-filled with a pattern so
# that the comparisons mean something.
exec "$vboard" --board f1 --pattern 1 --time-scale 1 -- bash scripts/demo.sh --steps
