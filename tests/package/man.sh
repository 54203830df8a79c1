# Checks shared by the man page checks. Needs checks.sh.

# Renders a page as plain ASCII, wide, with single spaces so that
# justification cannot split the names searched for.
render_page() {
  LC_ALL=C MANWIDTH=200 man -l -P cat "$1" 2>/dev/null | col -bx | sed -E 's/([^ ])  +/\1 /g'
}

# The body of one section of a rendered page (text on stdin).
section_text() {
  awk -v name="$1" '
    /^[A-Z][A-Z ]*$/ { inside = ($0 == name); next }
    inside { print }'
}

# The page renders without groff warnings, lexgrog finds its NAME line, and
# it has the given sections.
#   check_page_form <page> <name> <section>...
check_page_form() {
  local page="$1" name="$2" warnings text section
  shift 2
  warnings="$(groff -man -Tutf8 -ww -z "$page" 2>&1)"
  check "$name: groff renders without warnings" test -z "$warnings"
  [ -z "$warnings" ] || echo "$warnings"
  check "$name: lexgrog finds the NAME line" bash -c "lexgrog '$page' | grep -qF '$name - '"
  text="$(render_page "$page")"
  for section in "$@"; do
    check "$name: section $section present" grep -qx "$section" <<<"$text"
  done
}
