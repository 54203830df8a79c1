# The unpacked stm32cmd lists and programs a board of the unpacked
# stm32-vboard. Needs checks.sh; `hidden` (from the caller) runs a command
# with the build and source trees out of sight.
#   check_on_virtual_board <folder with both programs> <scratch folder>
check_on_virtual_board() {
  local bin="$1" work="$2" out status
  local vboard="$bin/stm32-vboard" cmd="$bin/stm32cmd"

  out="$(hidden "$vboard" --board f1 -- "$cmd" -l 2>&1)"
  status=$?
  echo "$out" | sed 's/^/    /'
  check "list on a virtual F1 exits with 0" test "$status" -eq 0
  check "list shows the F1's 256 KB at 0x08000000" \
    grep -qx 'STM32 (ID:[0-9]*) Flash: 256KB Flash Start: 08000000' <<<"$out"

  out="$(hidden "$vboard" --board f1 --board f4 -- "$cmd" -l 2>&1)"
  check "list shows both boards of two" test "$(grep -c '^STM32 (ID:' <<<"$out")" -eq 2

  # Refused opens come from the preload library installed beside
  # stm32-vboard; without it the board would open and list.
  out="$(hidden "$vboard" --board f1 --deny-open -- "$cmd" -l 2>&1)"
  status=$?
  check "a board that refuses opening fails the list" test "$status" -ne 0
  check "the open is refused as access denied" grep -q 'cannot be opened (access denied)' <<<"$out"

  # An odd length, so that the last block is partly kept from the old flash.
  head -c 5001 /dev/urandom > "$work/image.bin"
  out="$(hidden "$vboard" --board f1 --pattern 7 --dump "$work/flash.bin" -- \
         "$cmd" -o 0x400 "$work/image.bin" 2>&1)"
  status=$?
  echo "$out" | sed 's/^/    /'
  check "upload at 0x400 exits with 0" test "$status" -eq 0
  check "upload reports OK." grep -qx 'OK.' <<<"$out"
  check "flash holds the image at 0x400" \
    cmp -n 5001 "$work/image.bin" <(tail -c +1025 "$work/flash.bin")

  # Before the offset the old flash stays as it was.
  hidden "$vboard" --board f1 --pattern 7 --dump "$work/before.bin" -- true
  check "flash before the offset is kept" cmp -n 1024 "$work/before.bin" "$work/flash.bin"

  out="$(hidden "$vboard" --board f1 --flash "$work/flash.bin" -- \
         "$cmd" -q -d -o 0x400 -s 5001 -f "$work/read.bin" 2>&1)"
  status=$?
  check "quiet download exits with 0 and prints nothing" test "$status" -eq 0 -a -z "$out"
  check "downloaded bytes are the image" cmp "$work/image.bin" "$work/read.bin"
}
