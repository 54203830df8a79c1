#!/usr/bin/env bash
# The man page must render cleanly and say what the program really does:
# every option and exit code of the usage text of stm32cmd, and its version.
#   check_man_page.sh <stm32cmd.1> <stm32cmd program>
set -uo pipefail
page="$1"
program="$2"
. "$(dirname "$0")/checks.sh"

warnings="$(groff -man -Tutf8 -ww -z "$page" 2>&1)"
check "groff renders without warnings" test -z "$warnings"
[ -z "$warnings" ] || echo "$warnings"

whatis="$(lexgrog "$page" 2>&1)"
check "lexgrog finds the NAME line" grep -q 'stm32cmd - ' <<<"$whatis"

# Plain ASCII, wide, and single spaces: justification must not split names.
text="$(LC_ALL=C MANWIDTH=200 man -l -P cat "$page" 2>/dev/null | col -bx | sed -E 's/([^ ])  +/\1 /g')"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES FILES "SEE ALSO"; do
  check "section $section present" grep -qx "$section" <<<"$text"
done

# The body of one section of the rendered page.
section_text() {
  awk -v name="$1" '
    /^[A-Z][A-Z ]*$/ { inside = ($0 == name); next }
    inside { print }' <<<"$text"
}
options="$(section_text OPTIONS)"
exits="$(section_text "EXIT STATUS")"
examples="$(section_text EXAMPLES)"

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

# Usage lines " N: Name": the same fourteen codes, with the same names.
codes="$(grep -cE '^ ?[0-9]+: ' <<<"$usage")"
check "usage text has fourteen exit codes" test "$codes" -eq 14
while IFS= read -r line; do
  code="$(sed -E 's/^ ?([0-9]+): .*/\1/' <<<"$line")"
  name="$(sed -E 's/^ ?[0-9]+: ([^(]*[^ (]).*/\1/' <<<"$line")"
  check "exit status $code ($name) documented" \
    awk -v c="$code" -v n="$name" '$1 == c && index($0, n) == index($0, $2) { found = 1 } END { exit !found }' <<<"$exits"
done < <(grep -E '^ ?[0-9]+: ' <<<"$usage")

version="$(grep -oE 'Version [0-9]+\.[0-9]+\.[0-9]+' <<<"$usage" | cut -d' ' -f2)"
check "page carries the program's version $version" grep -q "stm32cmd $version" <<<"$text"

# The usage text's own examples appear in EXAMPLES.
check "example: upload at the flash start" grep -qE '^ +stm32cmd myprog\.bin$' <<<"$examples"
check "example: upload at an offset" grep -qE '^ +stm32cmd -o 0x400 myprog\.bin$' <<<"$examples"

finish
