#!/usr/bin/env bash
# Builds every variant and runs every test suite. Stages live in
# scripts/stages/NN-name.sh and run in name order; each reports its test
# counts to $STM32_RESULTS ("passed failed" lines). Exits non-zero if any
# stage or test failed.
#   scripts/test-all.sh            all stages
#   scripts/test-all.sh native     only the stages whose name contains "native"
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
export STM32_RESULTS="$(mktemp)"
trap 'rm -f "$STM32_RESULTS"' EXIT
filter="${1:-}"
failed_stages=()
for stage in scripts/stages/*.sh; do
  name="$(basename "$stage" .sh)"
  if [ -n "$filter" ] && [[ "$name" != *"$filter"* ]]; then continue; fi
  echo "=== stage $name"
  start=$(date +%s)
  if bash "$stage"; then
    echo "=== stage $name passed ($(( $(date +%s) - start )) s)"
  else
    echo "=== stage $name FAILED ($(( $(date +%s) - start )) s)"
    failed_stages+=("$name")
  fi
done
passed=0; failed=0
while read -r p f; do passed=$((passed + p)); failed=$((failed + f)); done < "$STM32_RESULTS"
if [ ${#failed_stages[@]} -gt 0 ]; then
  echo "failed stages: ${failed_stages[*]}"
  # A stage that failed before it ran its tests still counts as a failure.
  [ "$failed" -eq 0 ] && failed=${#failed_stages[@]}
fi
echo "tests: $passed passed, $failed failed"
[ ${#failed_stages[@]} -eq 0 ] && [ "$failed" -eq 0 ]
