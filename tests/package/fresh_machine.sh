#!/usr/bin/env bash
# Times the README's first command as a new user meets it: a fresh Debian 12
# system made with debootstrap in a folder, this repository cloned into it,
# then, in a chroot, `scripts/setup.sh native` (the package installation) and
# `scripts/demo.sh` (configure, build, demo) timed apart.
# Needs root, debootstrap and Debian's archive, downloads a few hundred MB and
# takes minutes, so it is run by hand when the package list or the build
# changes, not by ctest.
#   tests/package/fresh_machine.sh <empty folder> [mirror]
# A folder that already holds a debootstrapped system in root.base/ is reused
# (a copy of it), so that a second measurement starts just as fresh.
set -euo pipefail
dir="$(mkdir -p "$1" && cd "$1" && pwd)"
mirror="${2:-http://deb.debian.org/debian}"
repo="$(cd "$(dirname "$0")/../.." && pwd)"
root="$dir/root"

if [ ! -d "$dir/root.base" ]; then
  start=$(date +%s)
  debootstrap bookworm "$dir/root.base" "$mirror" > "$dir/debootstrap.log"
  echo "debootstrap: $(( $(date +%s) - start )) s (not part of the measurement)"
  # What a Debian 12 installation has in its sources.
  cat > "$dir/root.base/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
EOF
fi
rm -rf "$root"
cp -a "$dir/root.base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet "$repo" "$root/root/stm32-dfu-flasher"

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" || true; done
}
trap cleanup EXIT
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount -t sysfs sysfs "$root/sys" && mounted+=("$root/sys")
mount --bind /dev "$root/dev" && mounted+=("$root/dev")
mount -t devpts devpts "$root/dev/pts" && mounted+=("$root/dev/pts")

installed_packages() { chroot "$root" dpkg-query -W -f '${db:Status-Abbrev}\n' | grep -c '^ii'; }
packages_before="$(installed_packages)"
# debootstrap leaves its own .debs in apt's cache: only new ones were downloaded.
ls "$root/var/cache/apt/archives" > "$dir/debs-before.txt"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
# A login's environment, not ours: nothing of this machine's build setup leaks in.
status=0
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb LANG=C.UTF-8 \
  /bin/bash -c '
    cd /root/stm32-dfu-flasher
    TIMEFORMAT="%R %U %S"
    { time scripts/setup.sh native > /root/setup.log 2>&1; } 2> /root/setup.time
    echo "load average between: $(cut -d" " -f1-3 /proc/loadavg)"
    { time scripts/demo.sh > /root/demo.log 2>&1; } 2> /root/demo.time
    grep -q "^Demo finished" /root/demo.log' || status=$?
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

packages_after="$(installed_packages)"
downloaded="$(cd "$root/var/cache/apt/archives" && ls | grep '\.deb$' | grep -vxFf "$dir/debs-before.txt" |
  xargs -r stat -c %s | awk '{ n += $1 } END { printf "%d", n / 1048576 + 0.5 }')"
read -r real user sys < "$root/root/setup.time"
echo "package installation: ${real} s wall ($((packages_after - packages_before)) packages, ${downloaded:-?} MB of .debs)"
read -r real user sys < "$root/root/demo.time"
echo "build and demo: ${real} s wall, ${user} s user + ${sys} s system CPU"
[ "$status" -eq 0 ] || { echo "the demo did not finish; see $root/root/demo.log" >&2; exit 1; }
