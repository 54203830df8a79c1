#!/usr/bin/env bash
# Linux build (g++, warnings as errors) with the virtual board; runs the whole
# native suite.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
CC=gcc CXX=g++ cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTM32_WERROR=ON
cmake --build build -j "$(jobs_count)"
run_ctest build -j "$(jobs_count)"
