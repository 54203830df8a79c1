# Checks of an installed or unpacked tree, shared by the install and the
# package checks. Needs checks.sh.

# The regular files and links under root, relative, sorted.
files_under() {
  (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
}

# Exactly the expected files: nothing missing, nothing extra (a stray
# static library or header would show up here).
check_file_list() {
  local root="$1"; shift
  local expected actual
  expected="$(printf '%s\n' "$@" | sort)"
  actual="$(files_under "$root")"
  check "file list is as expected" test "$expected" = "$actual"
  if [ "$expected" != "$actual" ]; then
    diff <(echo "$expected") <(echo "$actual") | sed 's/^/    /'
  fi
}

# No program or library of ours may find its libraries through the build
# tree: such a package works here and nowhere else.
check_no_run_path() {
  local root="$1" f
  while IFS= read -r f; do
    [ -f "$root/$f" ] && { [ -x "$root/$f" ] || [[ "$f" == *.so ]]; } || continue
    check "$f has no RPATH/RUNPATH" bash -c "! readelf -d '$root/$f' | grep -qE 'R(UN)?PATH'"
  done < <(files_under "$root")
}

# Runs a command; check_deb.sh replaces it with one that hides the trees.
hidden() { "$@"; }

# The program starts (its libraries resolve) and prints its usage text.
check_usage_runs() {
  local program="$1" usage status
  usage="$(hidden "$program" -h 2>&1 >/dev/null)"
  status=$?
  check "$(basename "$program") -h exits with 7" test "$status" -eq 7
  check "$(basename "$program") -h prints the usage text" grep -q '^Exit codes:' <<<"$usage"
}

# The rule grants the seat's user access to the bootloader's 0483:df11.
check_udev_rule() {
  local rule="$1"
  check "udev rule matches 0483:df11 with uaccess" \
    bash -c "grep -v '^#' '$rule' | grep -i '0483' | grep -i 'df11' | grep -q 'TAG+=\"uaccess\"'"
}

# man finds each page by its name in the tree's man folder, as it would
# after installing (a page in the wrong section folder is not found).
check_man_lookup() {
  local mandir="$1" name; shift
  for name in "$@"; do
    check "man finds $name in $(basename "$(dirname "$mandir")")/man" \
      bash -c "LC_ALL=C man -M '$mandir' -P cat 1 '$name' 2>/dev/null | grep -q '^EXIT STATUS'"
  done
}

# From here on `hidden` runs a command with the given folders out of sight
# (an empty read-only tmpfs over each, in a private mount namespace), so that
# a program still reaching into the build or source tree fails. Where no
# mount namespace can be had (no root, no user namespaces) the programs run
# unhidden, and that is said.
#   hide_trees <scratch folder> <folder>...   (a folder inside another first)
hide_trees() {
  local script="$1/hide.sh" probe="$2" dir
  shift
  {
    echo 'set -e'
    for dir in "$@"; do echo "mount -t tmpfs -o ro,size=1m stm32-hidden '$dir'"; done
    echo 'exec "$@"'
  } > "$script"
  if ! unshare --mount --propagation private bash "$script" true 2>/dev/null; then
    echo "note: no mount namespace here; $probe not hidden" >&2
    return 0
  fi
  hide_script="$script"
  hidden() { unshare --mount --propagation private bash "$hide_script" "$@"; }
  check "$(basename "$probe") is hidden from the programs" \
    bash -c "[ -n \"\$(ls -A '$probe')\" ] && [ -z \"\$(unshare --mount --propagation private bash '$script' ls -A '$probe')\" ]"
}
