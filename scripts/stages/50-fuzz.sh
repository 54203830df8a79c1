#!/usr/bin/env bash
# libFuzzer targets (clang): each runs for a bounded time on its seed corpus;
# a crash or a failed check fails the stage. One "passed failed" line per target.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
seconds="${STM32_FUZZ_SECONDS:-25}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSTM32_FUZZ=ON -DSTM32_BUILD_VBOARD=OFF -DSTM32_FUZZ_SECONDS="$seconds"
targets=(intel_hex layout options page_map upload_plan srec elf dfuse)
cmake --build build-fuzz -j "$(jobs_count)" --target "${targets[@]/#/fuzz_}"
status=0
for target in "${targets[@]}"; do
  run_ctest build-fuzz -R "^fuzz_${target}\$" || status=1
done
exit "$status"
