#!/usr/bin/env bash
# An image that does not fit, and an offset past the end of flash, end with
# the status that the man page and the README give for them. Each case runs
# stm32cmd against a virtual F1 (256 KB flash); the phrase that names the
# case must stand in both documents' entry for the status the program
# returned, so a program or a document that moves a case to another status
# fails here.
#   check_fit_statuses.sh <stm32cmd.1> <README.md> <stm32cmd> <stm32-vboard>
set -uo pipefail
page="$(realpath "$1")"
readme="$(realpath "$2")"
cmd="$(realpath "$3")"
vboard="$(realpath "$4")"
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/checks.sh"
. "$here/man.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

# One status's entry of the rendered EXIT STATUS section, on one line. The
# status stands less indented than the text that wraps under it.
exit_text="$(render_page "$page" | section_text "EXIT STATUS")"
man_entry() {
  awk -v code="$1" '
    match($0, /^ */) && NF {
      indent = RLENGTH
      if (tag == "" || indent <= tag) { tag = indent; inside = ($1 == code) }
    }
    inside { printf "%s ", $0 }' <<<"$exit_text" | tr -s ' '
}
readme_entry() { grep -E "^\| $1 \|" "$readme"; }

flash_size=262144
flash_start=0x08000000
head -c $((flash_size + 1)) /dev/zero | tr '\0' '\125' > longer.bin
head -c "$flash_size" /dev/urandom > full.bin
head -c 16 /dev/urandom > small.bin
# HEX and S-record files from the same bytes, placed by their own addresses.
to_records() { objcopy -I binary -O "$1" --change-addresses "$2" "$3" "$4"; }
to_records ihex "$flash_start" small.bin fits.hex
to_records ihex $((flash_start + flash_size - 8)) small.bin past-end.hex
to_records srec $((flash_start + flash_size - 8)) small.bin past-end.srec

# check_case <phrase> <expected status> <stm32cmd arguments>...
check_case() {
  local phrase="$1" expected="$2" status sent
  shift 2
  rm -f counts.json
  "$vboard" --board f1 --pattern 3 --counts-json counts.json -- "$cmd" "$@" > out.txt 2>&1
  status=$?
  check "stm32cmd $* exits with $expected" test "$status" -eq "$expected"
  [ "$status" -eq "$expected" ] || sed 's/^/    /' out.txt
  check "man page gives $phrase status $status" grep -qF "$phrase" <<<"$(man_entry "$status")"
  check "README gives $phrase status $status" grep -qF "$phrase" <<<"$(readme_entry "$status")"
  # A refused image never reaches the board's flash.
  sent="$(grep -oE '"(DataBlock|ErasePage|MassErase|bytesDownloaded)": [0-9]+' counts.json 2>/dev/null |
          awk '{ n += $2; seen++ } END { print seen == 4 ? n : "no counts" }')"
  check "stm32cmd $*: nothing erased or written" test "$sent" = 0
}

check_case "a raw binary longer than the flash" 13 longer.bin
check_case "an image that the offset moves past the end of flash" 13 -o 0x400 full.bin
check_case "an image that the offset moves past the end of flash" 13 -o $((flash_size - 8)) fits.hex
check_case "an upload offset at or past the end of flash" 13 -o "$flash_size" small.bin
check_case "data outside the flash at its own addresses" 11 past-end.hex
check_case "data outside the flash at its own addresses" 11 past-end.srec
check_case "a download or erase offset at or past the end of flash" 7 -d -o "$flash_size" -f read.bin
check_case "a download or erase offset at or past the end of flash" 7 -e -o "$flash_size" -s 16

finish
