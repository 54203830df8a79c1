#!/usr/bin/env bash
# stm32-vboard as a user runs it: exit status of the command, flash from a
# file, deterministic patterns, dumps and machine-readable counts.
set -uo pipefail
host="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
passed=0
failed=0
check() {
  local what="$1"; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAIL: $what"; failed=$((failed + 1)); fi
}

"$host" -- sh -c 'exit 7'
check "exit status of the command is passed on" [ $? -eq 7 ]
"$host" -- sh -c 'kill -TERM $$'
check "a command killed by a signal gives 128 + signal" [ $? -eq $((128 + 15)) ]
"$host" -- /nonexistent/program 2>/dev/null
check "a command that cannot run gives 127" [ $? -eq 127 ]
"$host" --board f9 -- true 2>/dev/null
check "an unknown profile is a usage error" [ $? -eq 2 ]

# Stopping the host stops the command as well.
"$host" -- sh -c 'echo $$ > child.pid; exec sleep 30' &
host_pid=$!
for _ in $(seq 50); do [ -s child.pid ] && break; sleep 0.1; done
kill -TERM "$host_pid"
wait "$host_pid"
check "a terminated host reports the terminated command" [ $? -eq $((128 + 15)) ]
check "the command does not outlive the host" bash -c '! kill -0 "$(cat child.pid)" 2>/dev/null'

# The child sees the bus through the inherited environment.
"$host" -- sh -c 'test -n "$UMOCKDEV_DIR" && case "$LD_PRELOAD" in *libumockdev-preload*) exit 0;; esac; exit 1'
check "the command inherits UMOCKDEV_DIR and the preload" [ $? -eq 0 ]

"$host" --board f1 --pattern 42 --dump p1.bin --board f1 --pattern 42 --dump p2.bin \
        --board f1 --pattern 43 --dump p3.bin -- true
check "the same seed gives the same flash" cmp -s p1.bin p2.bin
check "another seed gives other flash" bash -c '! cmp -s p1.bin p3.bin'
check "an F1 dump holds the whole 256 KB flash" [ "$(stat -c %s p1.bin)" -eq 262144 ]

head -c 3000 /dev/urandom > small.bin
"$host" --board f4 --flash small.bin --dump f4.bin -- true
check "flash from a file starts at the flash start" cmp -s <(head -c 3000 f4.bin) small.bin
check "the rest of the flash reads erased" \
  cmp -s <(tail -c +3001 f4.bin) <(head -c $((1048576 - 3000)) /dev/zero | tr '\0' '\377')

head -c 262145 /dev/zero > big.bin
"$host" --board f1 --flash big.bin -- true 2>/dev/null
check "a file larger than the flash is refused" [ $? -eq 2 ]

"$host" --board h7 --counts-json counts.json --counts -- \
  dfu-util -a 0 -s 0x08000000:2048 -U up.bin > out.txt 2> counts.txt
check "dfu-util reads the H7 board" [ "$(stat -c %s up.bin 2>/dev/null || echo 0)" -eq 2048 ]
check "the JSON counts name the profile" grep -q '"profile": "h7"' counts.json
check "the JSON counts record the uploads" grep -q '"Upload": 2' counts.json
check "the JSON counts record the bytes" grep -q '"bytesUploaded": 2048' counts.json
check "the text counts go to standard error" grep -q 'Upload: 2' counts.txt

"$host" --list-profiles > profiles.txt
check "the profile list names the ROM models" grep -q '^h7-rev-v ' profiles.txt

"$host" --board f1 --deny-open -- dfu-util -a 0 -s 0x08000000:2048 -U denied.bin > denied.txt 2>&1
check "a board that refuses the open fails dfu-util" [ $? -ne 0 ]
check "dfu-util reports the refused open" grep -qi 'cannot open' denied.txt

"$host" --board f4 --read-protected --pattern 3 --dump unprotected.bin --counts-json rdp.json -- \
  dfu-util -a 0 -s 0x08000000:2048 -U rdp.bin > rdp.txt 2>&1
check "a read-protected board refuses the upload" [ $? -ne 0 ]
check "the JSON counts say the board is protected" grep -q '"readProtected": true' rdp.json

# Boards that arrive and leave while the command runs. The command polls
# the bus (bounded) instead of sleeping for the times given.
cat > watch.sh <<'EOF'
boards() { dfu-util -l 2>/dev/null | grep -c 'alt=0,'; }
wait_boards() { for _ in $(seq 100); do [ "$(boards)" -eq "$1" ] && return 0; sleep 0.1; done; return 1; }
EOF
"$host" --board f1 --plug-after 1 --unplug-after 2.5 -- bash -c '. ./watch.sh
  wait_boards 1 || exit 1; wait_boards 0 || exit 2'
check "a board plugged after a time arrives, then leaves at its unplug time" [ $? -eq 0 ]

"$host" --board f1 --board f4 --unplugged --control ctl -- bash -c '. ./watch.sh
  [ "$(boards)" -eq 1 ] || exit 1
  echo "plug 1" > ctl; wait_boards 2 || exit 2
  echo "unplug 0" > ctl; wait_boards 1 || exit 3
  echo "eject 0" > ctl
  echo "replug 0" > ctl; wait_boards 2 || exit 4' 2> control.err
check "the control FIFO plugs, unplugs and replugs given boards" [ $? -eq 0 ]
check "a wrong control line is reported and the rest carried out" grep -q "unknown control command 'eject 0'" control.err
check "the control FIFO is made when missing" test -p ctl

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
