#!/usr/bin/env bash
# `cmake --install` into a fresh prefix puts exactly the expected files there,
# and the installed programs run without the build tree: stm32cmd lists and
# programs a board of the installed stm32-vboard while the build and source
# trees are hidden.
#   check_install.sh <build dir> <source dir> <expected file>...
set -uo pipefail
build="$(cd "$1" && pwd)"
source="$(cd "$2" && pwd)"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/checks.sh"
. "$here/tree.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

check "cmake --install succeeds" cmake --install "$build" --prefix "$prefix"
check_file_list "$prefix" "$@"
check_no_run_path "$prefix"
check_usage_runs "$prefix/bin/stm32cmd"
check_man_lookup "$prefix/share/man" stm32cmd
[ -x "$prefix/bin/stm32-vboard" ] && check_man_lookup "$prefix/share/man" stm32-vboard
[ -f "$prefix/lib/udev/rules.d/60-stm32-dfu.rules" ] &&
  check_udev_rule "$prefix/lib/udev/rules.d/60-stm32-dfu.rules"

if [ -x "$prefix/bin/stm32-vboard" ]; then
  hide_trees "$work" "$build" "$source"
  . "$here/vboard_run.sh"
  cd "$work"
  check_on_virtual_board "$prefix/bin" "$work"
fi

finish
