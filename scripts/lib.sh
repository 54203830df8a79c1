# Shared helpers for the stage scripts.

# junit_counts <ctest JUnit file>: prints "passed failed". A test skipped on
# purpose (SKIP_RETURN_CODE, SKIP_REGULAR_EXPRESSION) or disabled counts as
# passed, as ctest itself counts it; any other test that did not run (a
# missing program, say) is a failure, which ctest's JUnit marks only by its
# skip message.
junit_counts() {
  awk '
    /<testcase / {
      if (match($0, /status="[a-z]+"/)) status = substr($0, RSTART + 8, RLENGTH - 9); else status = "";
      if (status == "run" || status == "disabled") passed++;
      else if (status == "notrun") pending = 1;
      else failed++;
    }
    pending && /<skipped message="SKIP_/ { passed++; pending = 0 }
    pending && /<\/testcase>/ { failed++; pending = 0 }
    END { print passed + 0, failed + 0 }
  ' "$1"
}

# run_ctest <build dir> [ctest args...]: runs ctest and records its counts,
# read from ctest's JUnit output, as a "passed failed" line in $STM32_RESULTS.
run_ctest() {
  local dir="$1"; shift
  local junit; junit="$(mktemp --suffix=.xml)"
  # Under the stages' errexit a failing ctest must still have its counts recorded.
  local rc=0
  ctest --test-dir "$dir" --output-on-failure --output-junit "$junit" "$@" || rc=$?
  local counts=""
  [ -s "$junit" ] && counts="$(junit_counts "$junit")"
  if [ -n "$counts" ] && [ "$counts" != "0 0" ]; then
    echo "$counts" >> "${STM32_RESULTS:-/dev/null}"
    # A ctest that failed with every test passing (no test matched, say) still fails.
    [ "$rc" -ne 0 ] && [ "${counts#* }" = 0 ] && echo "0 1" >> "${STM32_RESULTS:-/dev/null}"
  elif [ "$rc" -ne 0 ]; then
    echo "0 1" >> "${STM32_RESULTS:-/dev/null}"
  fi
  rm -f "$junit"
  return "$rc"
}
jobs_count() { nproc 2>/dev/null || echo 2; }
