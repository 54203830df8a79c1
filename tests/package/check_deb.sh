#!/usr/bin/env bash
# The two .debs, stm32cmd (the flasher) and stm32-vboard (the virtual board),
# hold exactly the expected files with the right metadata; the flasher pulls
# in nothing of umockdev or GLib. The programs unpacked from both
# (dpkg-deb -x) list and program a virtual board while the build and source
# trees are hidden, so that a missing file or a path into the build tree
# fails here.
#   check_deb.sh <build dir> <source dir> <flasher file>... [-- <vboard file>...]
# (files relative to the prefix). STM32_DEB and STM32_VBOARD_DEB name the
# packages to check; without them both are built from the build tree with cpack.
set -uo pipefail
build="$(cd "$1" && pwd)"
source="$(cd "$2" && pwd)"
shift 2
flasher_files=()
vboard_files=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do flasher_files+=("$1"); shift; done
[ $# -gt 0 ] && shift
vboard_files=("$@")
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/checks.sh"
. "$here/tree.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

deb="${STM32_DEB:-}"
vboard_deb="${STM32_VBOARD_DEB:-}"
if [ -z "$deb" ]; then
  check "cpack builds the .debs" \
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/cpack"
  deb="$(ls "$work"/cpack/stm32cmd_*.deb 2>/dev/null | head -1)"
  vboard_deb="$(ls "$work"/cpack/stm32-vboard_*.deb 2>/dev/null | head -1)"
fi
[ -n "$deb" ] && [ -f "$deb" ] || { check "a stm32cmd .deb to check exists" false; finish; }
if [ ${#vboard_files[@]} -gt 0 ]; then
  [ -n "$vboard_deb" ] && [ -f "$vboard_deb" ] || { check "a stm32-vboard .deb to check exists" false; finish; }
else
  vboard_deb=""
fi

# --- metadata -----------------------------------------------------------------
project="$(sed -nE 's/^project\(([^ )]+).*/\1/p' "$source/CMakeLists.txt")"
version="$(sed -nE 's/^project\([^)]*VERSION ([0-9.]+).*/\1/p' "$source/CMakeLists.txt")"
has_dependency() { grep -qE "(^|, )$1( |,|\$)" <<<"$2"; }

# check_metadata <deb> <package name>: sets package_depends to its Depends.
package_depends=""
check_metadata() {
  local file="$1" name="$2"
  field() { dpkg-deb -f "$file" "$1"; }
  echo "checking $file"
  check "$name: package name" test "$(field Package)" = "$name"
  check "$name: version is the project's ($version)" test "$(field Version)" = "$version"
  check "$name: source is the project ($project)" test "$(field Source)" = "$project"
  check "$name: description names the project" grep -qF "$project" <<<"$(field Description)"
  check "$name: architecture is the host's" test "$(field Architecture)" = "$(dpkg --print-architecture)"
  package_depends="$(field Depends)"
  echo "$name Depends: $package_depends"
  check "$name: no package is named twice in Depends" \
    test -z "$(tr ',' '\n' <<<"$package_depends" | awk '{ print $1 }' | sort | uniq -d)"
  # Every dependency is a package the distribution has: apt can resolve them.
  check "$name: apt resolves the dependencies" \
    bash -c "apt-get install -s --no-install-recommends '$file' 2>/dev/null | grep -q '^Conf $name '"
}

check_metadata "$deb" stm32cmd
check "stm32cmd depends on libusb-1.0-0" has_dependency 'libusb-1\.0-0' "$package_depends"
for lib in umockdev 'libumockdev[0-9]*' 'libglib2\.0-0'; do
  check "stm32cmd does not depend on $lib" bash -c "! grep -qE '(^|, )$lib( |,|\$)' <<<'$package_depends'"
done
if [ -n "$vboard_deb" ]; then
  check_metadata "$vboard_deb" stm32-vboard
  # The virtual board runs its command under umockdev's preload library,
  # which no linker dependency reveals.
  check "stm32-vboard depends on umockdev (preload library)" has_dependency umockdev "$package_depends"
fi

# --- contents -----------------------------------------------------------------
# The udev rule moves to /lib/udev/rules.d; everything else stays under /usr.
packaged_paths() {
  local f
  for f in "$@"; do
    case "$f" in
      lib/udev/rules.d/*) echo "$f" ;;
      *) echo "usr/$f" ;;
    esac
  done
}
mapfile -t expected < <(packaged_paths "${flasher_files[@]}")
check "stm32cmd: dpkg-deb -x unpacks it" dpkg-deb -x "$deb" "$work/flasher"
check_file_list "$work/flasher" "${expected[@]}"
if [ -n "$vboard_deb" ]; then
  mapfile -t expected < <(packaged_paths "${vboard_files[@]}")
  check "stm32-vboard: dpkg-deb -x unpacks it" dpkg-deb -x "$vboard_deb" "$work/vboard"
  check_file_list "$work/vboard" "${expected[@]}"
fi

# Both installed side by side, as a user who wants the virtual board has them.
root="$work/root"
check "dpkg-deb -x unpacks both into one tree" \
  bash -c "dpkg-deb -x '$deb' '$root' && { [ -z '$vboard_deb' ] || dpkg-deb -x '$vboard_deb' '$root'; }"
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
