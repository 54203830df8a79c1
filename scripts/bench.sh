#!/usr/bin/env bash
# Times stm32cmd on the virtual F1-, F4- and H7-like boards at their real
# speed and prints the markdown tables. Takes several minutes: the boards'
# erase and programming times are real; then 1, 4 and 8 F4 boards at once.
# Arguments go to stm32-bench instead (e.g. --boards f1 --runs 1,
# --many-boards 1,4,8, or --output table.md).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${STM32_BENCH_BUILD:-build-bench}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target stm32-bench stm32cmd >/dev/null
if [ "$#" -eq 0 ]; then
  # Every job, then several boards at once.
  "$build/tools/bench/stm32-bench"
  exec "$build/tools/bench/stm32-bench" --many-boards 1,4,8
fi
exec "$build/tools/bench/stm32-bench" "$@"
