# Shared helpers for the stage scripts.
# run_ctest <build dir> [ctest args...]: runs ctest and records its counts.
run_ctest() {
  local dir="$1"; shift
  local log; log="$(mktemp)"
  # Under the stages' errexit a failing ctest must still have its counts recorded.
  local rc=0
  ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log" || rc=${PIPESTATUS[0]}
  local line total failed
  line="$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
  if [ -n "$line" ]; then
    failed="$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')"
    total="$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')"
    echo "$((total - failed)) $failed" >> "${STM32_RESULTS:-/dev/null}"
  elif [ "$rc" -ne 0 ]; then
    echo "0 1" >> "${STM32_RESULTS:-/dev/null}"
  fi
  rm -f "$log"
  return "$rc"
}
jobs_count() { nproc 2>/dev/null || echo 2; }
