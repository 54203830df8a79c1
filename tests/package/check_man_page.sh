#!/usr/bin/env bash
# The man page must render cleanly and say what the program really does:
# every option and exit code of the usage text of stm32cmd, and the project's
# name with the program's version.
#   check_man_page.sh <stm32cmd.1> <stm32cmd program> <project name>
set -uo pipefail
page="$1"
program="$2"
project="$3"
. "$(dirname "$0")/checks.sh"
. "$(dirname "$0")/man.sh"

check_page_form "$page" stm32cmd NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES FILES "SEE ALSO"
text="$(render_page "$page")"
options="$(section_text OPTIONS <<<"$text")"
exits="$(section_text "EXIT STATUS" <<<"$text")"
examples="$(section_text EXAMPLES <<<"$text")"

usage="$("$program" -h 2>&1 >/dev/null)"
status=$?
check "stm32cmd -h exits with 7" test "$status" -eq 7

# Usage lines "-x text": each option letter has its own entry in OPTIONS.
letters="$(grep -oE '^-[a-zA-Z?]' <<<"$usage" | cut -c2 | sort -u)"
check "usage text names options" test -n "$letters"
for letter in $letters; do
  check "option -$letter documented" grep -qE "^ +-$letter( |,|$)" <<<"$options"
done
check "option -? documented" grep -qE '^ +-h, -\?' <<<"$options"

# Usage lines " N: Name": the same fifteen codes, with the same names.
codes="$(grep -cE '^ ?[0-9]+: ' <<<"$usage")"
check "usage text has fifteen exit codes" test "$codes" -eq 15
while IFS= read -r line; do
  code="$(sed -E 's/^ ?([0-9]+): .*/\1/' <<<"$line")"
  name="$(sed -E 's/^ ?[0-9]+: ([^(]*[^ (]).*/\1/' <<<"$line")"
  check "exit status $code ($name) documented" \
    awk -v c="$code" -v n="$name" '$1 == c && index($0, n) == index($0, $2) { found = 1 } END { exit !found }' <<<"$exits"
done < <(grep -E '^ ?[0-9]+: ' <<<"$usage")

version="$(grep -oE 'Version [0-9]+\.[0-9]+\.[0-9]+' <<<"$usage" | cut -d' ' -f2)"
check "usage text names a version" test -n "$version"
check "page footer names $project $version" grep -qF "$project $version" <<<"$text"

# The usage text's own examples appear in EXAMPLES.
check "example: upload at the flash start" grep -qE '^ +stm32cmd myprog\.bin$' <<<"$examples"
check "example: upload at an offset" grep -qE '^ +stm32cmd -o 0x400 myprog\.bin$' <<<"$examples"

finish
