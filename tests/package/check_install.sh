#!/usr/bin/env bash
# `cmake --install` into a fresh prefix puts exactly the expected files there,
# and the installed program runs without the build tree's run path.
#   check_install.sh <build dir> <expected file>...
set -uo pipefail
build="$1"
shift
. "$(dirname "$0")/checks.sh"
. "$(dirname "$0")/tree.sh"

prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT

check "cmake --install succeeds" cmake --install "$build" --prefix "$prefix"
check_file_list "$prefix" "$@"
check_no_run_path "$prefix"
check_usage_runs "$prefix/bin/stm32cmd"
check_man_lookup "$prefix/share/man" stm32cmd
[ -x "$prefix/bin/stm32-vboard" ] && check_man_lookup "$prefix/share/man" stm32-vboard
[ -f "$prefix/lib/udev/rules.d/60-stm32-dfu.rules" ] &&
  check_udev_rule "$prefix/lib/udev/rules.d/60-stm32-dfu.rules"

finish
