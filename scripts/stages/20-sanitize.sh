#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer build of the core library, the
# virtual board, stm32cmd and their tests, with the leak check on. The GUI
# folders are not built here; the package checks have their own stage.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib.sh
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSTM32_SANITIZE=ON
# Only what exists: folders land one by one.
wanted=(stm32core vboard stm32cmd stm32-vboard core_unit_tests core_board_tests vboard_device_tests vboard_usb_tests
        cli_intel_hex_test cli_options_test cli_stm32cmd_test fuzz_replay_intel_hex fuzz_replay_layout
        fuzz_replay_options fuzz_replay_page_map reliability_schedules)
available="$(cmake --build build-asan --target help | sed -n 's/^\.\.\. //p')"
targets=()
for t in "${wanted[@]}"; do
  if grep -qx "$t" <<<"$available"; then targets+=("$t"); fi
done
cmake --build build-asan -j "$(jobs_count)" --target "${targets[@]}"
# Leaks fail the tests; halt_on_error keeps a report from scrolling past.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/reliability/lsan.supp:print_suppressions=0"
export STM32_SCHEDULES="${STM32_SCHEDULES:-120}"
run_ctest build-asan -j "$(jobs_count)" -E '^(win_|package|mac_)'
