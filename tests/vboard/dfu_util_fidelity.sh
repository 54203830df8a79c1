#!/usr/bin/env bash
# A DFU client nobody here wrote (Debian's dfu-util) lists, reads and writes
# the virtual F4 and F1 boards; the bytes are checked in the boards' dumps.
set -euo pipefail
host="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

command -v dfu-util >/dev/null || { echo "FAIL: dfu-util is not installed"; exit 1; }

# Listing: every alternate setting of both boards, the foreign device ignored.
"$host" --foreign --board f4 --board f1 -- dfu-util -l > list.txt 2>&1 || fail "dfu-util -l exited $?"
for name in "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg" "@Option Bytes  /0x1FFFC000/01*016 e" \
            "@OTP Memory /0x1FFF7800/01*512 e,01*016 e" "@Device Feature/0xFFFF0000/01*004 e" \
            "@Internal Flash  /0x08000000/128*002Kg" "@Option Bytes  /0x1FFFF800/01*016 g"; do
  grep -qF "name=\"$name\"" list.txt || fail "dfu-util -l does not show $name"
done
[ "$(grep -c '^Found DFU: \[0483:df11\]' list.txt)" -eq 6 ] || fail "dfu-util -l should find 6 alternate settings"

# Port paths: dfu-util's -p finds a board by the path the bus gave it, on a hub too.
"$host" --board f4 --board f1 --port 1-3.2 -- dfu-util -l > paths.txt 2>&1 || fail "dfu-util -l (paths) exited $?"
grep -q 'path="1-1", alt=0' paths.txt || fail "dfu-util -l does not show path 1-1"
grep -q 'path="1-3.2", alt=0' paths.txt || fail "dfu-util -l does not show path 1-3.2"
head -c 3000 /dev/urandom > by-path.bin
"$host" --board f4 --board f1 --port 1-3.2 --flash by-path.bin -- \
  dfu-util -p 1-3.2 -a 0 -s 0x08000000:3000 -U by-path-up.bin > by-path.log 2>&1 || fail "dfu-util -p exited $?"
cmp -s by-path-up.bin by-path.bin || fail "dfu-util -p 1-3.2 read another board"

for profile in f4 f1; do
  # Upload: flash content from a file, read back across several blocks and
  # not aligned to a block at the end.
  head -c 40000 /dev/urandom > "$profile-initial.bin"
  "$host" --board "$profile" --flash "$profile-initial.bin" -- \
    dfu-util -a 0 -s 0x08000000:5000 -U "$profile-upload.bin" > "$profile-upload.log" 2>&1 \
    || fail "$profile: dfu-util -U exited $?"
  cmp -s "$profile-upload.bin" <(head -c 5000 "$profile-initial.bin") || fail "$profile: uploaded bytes differ"

  # Download over a page or sector boundary into flash that was not erased:
  # dfu-util must erase first, and the board must end up with the image.
  head -c 20000 /dev/urandom > "$profile-image.bin"
  "$host" --board "$profile" --fill 0x00 --dump "$profile-dump.bin" --counts-json "$profile-counts.json" -- \
    dfu-util -a 0 -s 0x08003800:leave -D "$profile-image.bin" > "$profile-download.log" 2>&1 \
    || fail "$profile: dfu-util -D exited $?"
  cmp -s <(tail -c +$((0x3800 + 1)) "$profile-dump.bin" | head -c 20000) "$profile-image.bin" \
    || fail "$profile: downloaded bytes differ in the board"
  grep -q '"left": true' "$profile-counts.json" || fail "$profile: board did not leave DFU mode"
  grep -q "\"leaveAddress\": $((0x08003800))" "$profile-counts.json" || fail "$profile: wrong jump address"
done

# The image (0x08003800-0x0800861F) touches 16 KB sectors 0 to 2, which are
# erased whole: below and after the image they read erased, and sector 3
# (from 0x0800C000) keeps its old zero bytes.
erased() { head -c "$1" /dev/zero | tr '\0' '\377'; }
cmp -s <(head -c $((0x3800)) f4-dump.bin) <(erased $((0x3800))) \
  || fail "f4: sector 0 below the image should read erased"
cmp -s <(tail -c +$((0x8620 + 1)) f4-dump.bin | head -c $((0xC000 - 0x8620))) <(erased $((0xC000 - 0x8620))) \
  || fail "f4: sector 2 after the image should read erased"
cmp -s <(tail -c +$((0xC000 + 1)) f4-dump.bin | head -c 100) <(head -c 100 /dev/zero) \
  || fail "f4: flash past the erased sectors changed"
# F1 pages are 2 KB: the page below the image start keeps its zeros.
cmp -s <(head -c $((0x3800)) f1-dump.bin) <(head -c $((0x3800)) /dev/zero) \
  || fail "f1: pages below the image changed"

# With real timing scaled down, dfu-util must follow the board's poll
# timeouts through the sector erases (2 x 0.5 s, scaled to 50 ms).
start=$(date +%s%N)
"$host" --board f4 --time-scale 0.05 --counts-json timed.json --dump timed.bin -- \
  dfu-util -a 0 -s 0x08000000 -D f4-image.bin > timed.log 2>&1 || fail "timed: dfu-util -D exited $?"
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
cmp -s <(head -c 20000 timed.bin) f4-image.bin || fail "timed: downloaded bytes differ"
[ "$elapsed_ms" -ge 50 ] || fail "timed: took $elapsed_ms ms, less than the scaled erase time"
busy_us=$(sed -E 's/.*"busyMicroseconds": ([0-9]+).*/\1/' timed.json)
[ "$busy_us" -ge 1000000 ] || fail "timed: modelled busy time $busy_us us below two 16 KB sector erases"

if [ "$failures" -ne 0 ]; then
  for f in *.log list.txt; do echo "== $f"; tail -5 "$f"; done
  echo "0 passed, $failures failed"
  exit 1
fi
echo "dfu-util fidelity: all checks passed"
