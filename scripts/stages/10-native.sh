#!/usr/bin/env bash
# Linux build (g++) with the virtual board; runs the whole native suite.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(jobs_count)"
run_ctest build -j "$(jobs_count)"
