# Shared by the package checks: named checks, counted, one line each.
#   check "what is checked" command [args...]
checks_passed=0
checks_failed=0

check() {
  local what="$1"; shift
  if "$@" >/dev/null 2>&1; then
    checks_passed=$((checks_passed + 1))
    echo "ok   $what"
  else
    checks_failed=$((checks_failed + 1))
    echo "FAIL $what"
  fi
}

# Ends the script: non-zero when any check failed, or when none ran.
finish() {
  echo "$checks_passed passed, $checks_failed failed"
  [ "$checks_failed" -eq 0 ] && [ "$checks_passed" -gt 0 ]
  exit $?
}
