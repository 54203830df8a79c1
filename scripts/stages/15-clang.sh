#!/usr/bin/env bash
# The same native tree and suite as the g++ stage, built with clang (warnings
# as errors), so that the code and its tests stay portable to a Mac
# developer's compiler.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTM32_WERROR=ON
cmake --build build-clang -j "$(jobs_count)"
run_ctest build-clang -j "$(jobs_count)"
