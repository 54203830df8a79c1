#!/usr/bin/env bash
# The virtual board's man page renders cleanly and documents every option
# and board profile that the program's own usage text names.
#   check_vboard_page.sh <stm32-vboard.1> <stm32-vboard program>
set -uo pipefail
page="$1"
program="$2"
. "$(dirname "$0")/checks.sh"
. "$(dirname "$0")/man.sh"

check_page_form "$page" stm32-vboard NAME SYNOPSIS DESCRIPTION OPTIONS PROFILES "EXIT STATUS" EXAMPLES FILES "SEE ALSO"
text="$(render_page "$page")"
options="$(section_text OPTIONS <<<"$text")"
profiles="$(section_text PROFILES <<<"$text")"

usage="$("$program" --help 2>&1)"
status=$?
check "stm32-vboard --help exits with 0" test "$status" -eq 0

names="$(grep -oE -- '--[a-z][a-z-]*' <<<"$usage" | sort -u)"
check "usage text names options" test -n "$names"
for name in $names; do
  check "option $name documented" grep -qE -- "^ +(-h, )?$name( |$)" <<<"$options"
done

# "profiles: a b c" and its continuation lines.
models="$(sed -n '/^profiles:/,$p' <<<"$usage" | sed 's/^profiles://' | tr -s ' ' '\n' | grep -v '^$')"
check "usage text names profiles" test -n "$models"
for model in $models; do
  check "profile $model documented" grep -qE "^ +$model( |$)" <<<"$profiles"
done

finish
