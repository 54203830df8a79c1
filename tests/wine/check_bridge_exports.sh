#!/usr/bin/env bash
# The wine USB bridge exports every libusb function that the Windows
# programs call: one it lacks stops the .exe from loading under wine.
#   check_bridge_exports.sh <source dir>
set -uo pipefail
root="$1"
spec="$root/tests/wine/usb_bridge/libusb-1.0.spec"
called="$(grep -rhoE '\blibusb_[a-z_0-9]+[[:space:]]*\(' "$root"/core "$root"/frontend "$root"/win "$root"/cli \
  | sed 's/[[:space:](]//g' | sort -u)"
exported="$(awk '$1 == "@" { sub(/\(.*/, "", $3); print $3 }' "$spec" | sort -u)"
[ -n "$called" ] || { echo "FAIL: no libusb call found in the sources"; exit 1; }
missing="$(comm -23 <(echo "$called") <(echo "$exported"))"
if [ -n "$missing" ]; then
  echo "FAIL: called by the programs but not exported by the bridge ($spec):"
  echo "$missing" | sed 's/^/    /'
  exit 1
fi
echo "all $(echo "$called" | wc -l) libusb functions the programs call are exported"
