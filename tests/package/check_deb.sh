#!/usr/bin/env bash
# The .deb holds exactly the expected files with the right metadata, and the
# programs unpacked from it (dpkg-deb -x) list and program a virtual board
# while the build and source trees are hidden, so that a missing file or a
# path into the build tree fails here.
#   check_deb.sh <build dir> <source dir> <expected file, relative to the prefix>...
# STM32_DEB names the package to check; without it one is built from the
# build tree with cpack.
set -uo pipefail
build="$(cd "$1" && pwd)"
source="$(cd "$2" && pwd)"
shift 2
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/checks.sh"
. "$here/tree.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

deb="${STM32_DEB:-}"
if [ -z "$deb" ]; then
  check "cpack builds the .deb" \
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/cpack"
  deb="$(ls "$work"/cpack/*.deb 2>/dev/null | head -1)"
fi
[ -n "$deb" ] && [ -f "$deb" ] || { check "a .deb to check exists" false; finish; }
echo "checking $deb"

# --- metadata -----------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
check "package name is stm32cmd" test "$(field Package)" = stm32cmd
version="$(sed -nE 's/^project\([^)]*VERSION ([0-9.]+).*/\1/p' "$source/CMakeLists.txt")"
check "package version is the project's ($version)" test "$(field Version)" = "$version"
check "architecture is the host's" test "$(field Architecture)" = "$(dpkg --print-architecture)"
depends="$(field Depends)"
echo "Depends: $depends"
check "depends on libusb-1.0-0" grep -qE '(^|, )libusb-1\.0-0( |,|$)' <<<"$depends"
check "no package is named twice in Depends" \
  test -z "$(tr ',' '\n' <<<"$depends" | awk '{ print $1 }' | sort | uniq -d)"
# Every dependency is a package the distribution has: apt can resolve them.
check "apt resolves the dependencies" \
  bash -c "apt-get install -s --no-install-recommends '$deb' 2>/dev/null | grep -q '^Conf stm32cmd '"
if printf '%s\n' "$@" | grep -qx 'bin/stm32-vboard'; then
  # The virtual board runs its command under umockdev's preload library,
  # which no linker dependency reveals.
  check "depends on umockdev (preload library)" grep -qE '(^|, )umockdev( |,|$)' <<<"$depends"
fi

# --- contents -----------------------------------------------------------------
root="$work/root"
check "dpkg-deb -x unpacks it" dpkg-deb -x "$deb" "$root"
# The udev rule moves to /lib/udev/rules.d; everything else stays under /usr.
expected=()
for f in "$@"; do
  case "$f" in
    lib/udev/rules.d/*) expected+=("$f") ;;
    *) expected+=("usr/$f") ;;
  esac
done
check_file_list "$root" "${expected[@]}"
check_no_run_path "$root"
check "programs are stripped" bash -c "! file '$root'/usr/bin/* | grep -q 'not stripped'"
page="$root/usr/share/man/man1/stm32cmd.1.gz"
check "man page is gzip-compressed" gzip -t "$page"
check_man_lookup "$root/usr/share/man" stm32cmd
[ -x "$root/usr/bin/stm32-vboard" ] && check_man_lookup "$root/usr/share/man" stm32-vboard
check "lexgrog reads the packaged page's NAME" bash -c "lexgrog '$page' | grep -q 'stm32cmd - '"
check "man page lists its fifteen exit codes" \
  test "$(zcat "$page" | sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' | grep -cE '^\.B [0-9]+$')" -eq 15
[ -f "$root/lib/udev/rules.d/60-stm32-dfu.rules" ] &&
  check_udev_rule "$root/lib/udev/rules.d/60-stm32-dfu.rules"

# --- the unpacked programs, with the trees they came from hidden -------------
# Hiding needs a private mount namespace (root, or user namespaces); where
# there is none the programs still run, unhidden, and that is said.
hide_script="$work/hide.sh"
{
  echo 'set -e'
  # The build tree first: it may lie inside the source tree.
  for dir in "$build" "$source"; do
    echo "mount -t tmpfs -o ro,size=1m stm32-hidden '$dir'"
  done
  echo 'exec "$@"'
} > "$hide_script"
if unshare --mount --propagation private bash "$hide_script" true 2>/dev/null; then
  hidden() { unshare --mount --propagation private bash "$hide_script" "$@"; }
  tree_is_hidden() { [ -n "$(ls -A "$build")" ] && [ -z "$(hidden ls -A "$build")" ]; }
  check "build tree is hidden from the programs" tree_is_hidden
else
  echo "note: no mount namespace here; build tree not hidden" >&2
fi

bin="$root/usr/bin"
cd "$work"
check_usage_runs "$bin/stm32cmd"
if [ -x "$bin/stm32-vboard" ]; then
  . "$here/vboard_run.sh"
  check_on_virtual_board "$bin" "$work"
fi

finish
