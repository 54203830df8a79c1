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

# Every format the image loader knows is named in the description, so that
# apt's search finds the flasher by the format a user has.
description="$(dpkg-deb -f "$deb" Description)"
format_words() {
  case "$1" in
    RAW) echo 'raw binary' ;;
    INTEL_HEX) echo 'Intel HEX' ;;
    SREC) echo 'S-record' ;;
    ELF) echo 'ELF' ;;
    DFUSE) echo 'DfuSe' ;;
    *) echo "$1 (no words for it in this check)" ;;
  esac
}
formats="$(sed -nE 's/^ *STM32_IMAGE_([A-Z_]+) = [0-9]+.*/\1/p' "$source/frontend/image_loader.h")"
check "the loader's formats are found" test "$(wc -w <<<"$formats")" -ge 5
for format in $formats; do
  words="$(format_words "$format")"
  check "stm32cmd: description names $words" grep -qF "$words" <<<"$description"
done

if [ -n "$vboard_deb" ]; then
  check_metadata "$vboard_deb" stm32-vboard
  # The virtual board runs its command under umockdev's preload library,
  # which no linker dependency reveals.
  check "stm32-vboard depends on umockdev (preload library)" has_dependency umockdev "$package_depends"
fi

# --- the README's install commands ---------------------------------------------
# Each package built has an `apt install ./out/<pattern>` line in the README
# whose pattern matches it, and apt accepts what that line names.
readme_patterns="$(sed -nE 's|^sudo apt install \./out/([^ ]+\.deb)( .*)?$|\1|p' "$source/README.md")"
check "README has apt install lines for ./out/*.deb" test -n "$readme_patterns"
for file in "$deb" $vboard_deb; do
  name="$(basename "$file")"
  pattern=""
  for candidate in $readme_patterns; do
    # shellcheck disable=SC2053  # the README's glob is matched on purpose
    [[ "$name" == $candidate ]] && pattern="$candidate"
  done
  check "README's apt install line matches $name" test -n "$pattern"
done
# What a user runs from the top of the tree, where out/ holds the packages.
mkdir -p "$work/readme/out"
cp "$deb" ${vboard_deb:+"$vboard_deb"} "$work/readme/out/"
for pattern in $readme_patterns; do
  check "apt install ./out/$pattern resolves" \
    bash -c "cd '$work/readme' && apt-get install -s --no-install-recommends ./out/$pattern 2>/dev/null | grep -q '^Conf '"
done

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
check "programs and libraries are stripped" \
  bash -c "! find '$root' -type f \( -perm -u+x -o -name '*.so' \) -exec file {} + | grep -q 'not stripped'"
page="$root/usr/share/man/man1/stm32cmd.1.gz"
check "man page is gzip-compressed" gzip -t "$page"
check_man_lookup "$root/usr/share/man" stm32cmd
if [ -x "$root/usr/bin/stm32-vboard" ]; then
  check_man_lookup "$root/usr/share/man" stm32-vboard
  vboard_page="$(LC_ALL=C MANWIDTH=200 man -l -P cat "$root/usr/share/man/man1/stm32-vboard.1.gz" 2>/dev/null)"
  for file in "${vboard_files[@]}"; do
    [[ "$file" == lib/* ]] || continue
    check "stm32-vboard's page names /usr/$file" grep -qF "/usr/$file" <<<"$vboard_page"
  done
fi
check "lexgrog reads the packaged page's NAME" bash -c "lexgrog '$page' | grep -q 'stm32cmd - '"
check "man page lists its fifteen exit codes" \
  test "$(zcat "$page" | sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' | grep -cE '^\.B [0-9]+$')" -eq 15
[ -f "$root/lib/udev/rules.d/60-stm32-dfu.rules" ] &&
  check_udev_rule "$root/lib/udev/rules.d/60-stm32-dfu.rules"

# --- the unpacked programs, with the trees they came from hidden -------------
# The build tree first: it may lie inside the source tree.
hide_trees "$work" "$build" "$source"

bin="$root/usr/bin"
cd "$work"
check_usage_runs "$bin/stm32cmd"
if [ -x "$bin/stm32-vboard" ]; then
  . "$here/vboard_run.sh"
  check_on_virtual_board "$bin" "$work"
fi

finish
