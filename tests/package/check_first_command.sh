#!/usr/bin/env bash
# The README's first command on a copy of the source tree without any build:
# scripts/demo.sh configures build/, builds the two programs only and runs its
# demo, in no more than twice the CPU time the README gives for it. Then
# `cmake --install` of that build gives every file of an install (man pages
# included, though no other target was built), and the installed programs
# still work once the copy, build tree and all, is deleted.
# It costs a fresh build (half a minute of CPU), so it runs in the package
# stage only (STM32_PACKAGE_STAGE=1), not in every stage that runs all tests.
#   check_first_command.sh <source dir> <expected file>...
set -uo pipefail
if [ "${STM32_PACKAGE_STAGE:-}" != 1 ]; then
  echo "skipped: runs in the package stage (STM32_PACKAGE_STAGE=1)"
  exit 77
fi
source="$(cd "$1" && pwd)"
shift
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/checks.sh"
. "$here/tree.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
copy="$work/src"
prefix="$work/prefix"

# The tracked tree as a clone has it: no build trees, packages or git data.
mkdir "$copy"
tar -C "$source" --exclude='./build*' --exclude=./out --exclude=./.git -cf - . | tar -C "$copy" -xf -
check "the copy holds no build tree" test ! -e "$copy/build"

TIMEFORMAT='%R %U %S'
{ time bash "$copy/scripts/demo.sh" > "$work/demo.log" 2>&1; } 2> "$work/demo.time"
status=$?
read -r real user system < "$work/demo.time"
echo "scripts/demo.sh on a fresh tree: $real s wall, $user s user + $system s system CPU"
check "scripts/demo.sh exits with 0" test "$status" -eq 0
check "the demo finishes" grep -q '^Demo finished' "$work/demo.log"
[ "$status" -eq 0 ] || tail -20 "$work/demo.log" | sed 's/^/    /'

# CPU time, not wall time: it does not depend on what else the machine runs.
stated="$(grep -oE 'about [0-9]+ s of CPU time' "$source/README.md" | head -1 | grep -oE '[0-9]+')"
check "README states the first command's CPU time" test -n "$stated"
cpu="$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%d", u + s + 0.5 }')"
check "demo's CPU time (${cpu} s) is within twice the README's ${stated:-?} s" \
  test "$cpu" -le $((2 * ${stated:-0}))

check "no test program was built" \
  test -z "$(find "$copy/build/tests" -type f -perm -u+x 2>/dev/null | head -1)"
check "cmake --install after building the programs only" cmake --install "$copy/build" --prefix "$prefix"
check_file_list "$prefix" "$@"

rm -rf "$copy"
check "the copy and its build tree are gone" test ! -e "$copy"
cd "$work"
check_usage_runs "$prefix/bin/stm32cmd"
if [ -x "$prefix/bin/stm32-vboard" ]; then
  . "$here/vboard_run.sh"
  check_on_virtual_board "$prefix/bin" "$work"
fi

finish
