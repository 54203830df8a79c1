#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer build of the core library, the
# virtual board, stm32cmd, the Windows controller and their tests, with the
# leak check on. The benchmark builds, but its timing tests skip themselves
# here; the macOS folder (clang, GNUstep) is not built; the package checks
# have their own stage. Then ThreadSanitizer on the tests that run several
# boards at once (about two minutes more).
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
# Every program of the tree but the packaging (its checks have their own
# stage); the macOS front end is off unless asked for, so a new test folder
# is sanitized without a change here.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSTM32_SANITIZE=ON -DSTM32_PACKAGING=OFF -DSTM32_BUILD_MAC=OFF
cmake --build build-asan -j "$(jobs_count)"
# Leaks fail the tests; halt_on_error keeps a report from scrolling past.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/reliability/lsan.supp:print_suppressions=0"
export STM32_SCHEDULES="${STM32_SCHEDULES:-120}"
run_ctest build-asan -j "$(jobs_count)"

# ThreadSanitizer: the core's commands on several boards from several
# threads, and stm32cmd's --all and station (its own threads) against virtual
# boards. Only what those tests need is built.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTM32_SANITIZE_THREAD=ON -DSTM32_PACKAGING=OFF \
  -DSTM32_BUILD_MAC=OFF
cmake --build build-tsan -j "$(jobs_count)" --target core_board_tests cli_stm32cmd_test stm32cmd
TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:halt_on_error=1" \
  run_ctest build-tsan -R "^(core_board_several|cli_stm32cmd_boards)$"
