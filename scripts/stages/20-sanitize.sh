#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer build of the core library, the
# virtual board, stm32cmd, the Windows controller and their tests, with the
# leak check on. The benchmark builds, but its timing tests skip themselves
# here; the macOS folder (clang, GNUstep) is not built; the package checks
# have their own stage.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSTM32_SANITIZE=ON
# Every program of the tree except the macOS front end and the packaging,
# so that a new test folder is sanitized without a change here.
skip='^(all|clean|depend|edit_cache|rebuild_cache|test|install.*|list_install_components|package.*|mac_.*|gnustep.*|.*man-pages?)$'
mapfile -t targets < <(cmake --build build-asan --target help | sed -n 's/^\.\.\. \([^ ]*\).*/\1/p' | grep -v -E '\.(o|i|s)$' | grep -v -E "$skip")
cmake --build build-asan -j "$(jobs_count)" --target "${targets[@]}"
# Leaks fail the tests; halt_on_error keeps a report from scrolling past.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/reliability/lsan.supp:print_suppressions=0"
export STM32_SCHEDULES="${STM32_SCHEDULES:-120}"
run_ctest build-asan -j "$(jobs_count)" -E '^(package|mac_|gnustep)'
