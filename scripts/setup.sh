#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need. Idempotent.
#   scripts/setup.sh            everything (native, Windows cross build, GNUstep)
#   scripts/setup.sh native     only what the Linux build and its tests need
# Package lists live in scripts/packages/<group>.txt, one package a line.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
groups=("$@")
if [ ${#groups[@]} -eq 0 ]; then
  groups=()
  for f in "$here"/packages/*.txt; do groups+=("$(basename "$f" .txt)"); done
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

wanted=()
for g in "${groups[@]}"; do
  list="$here/packages/$g.txt"
  [ -f "$list" ] || { echo "setup: no package group '$g'" >&2; exit 2; }
  while read -r pkg _; do
    case "$pkg" in ''|'#'*) continue ;; esac
    wanted+=("$pkg")
  done < "$list"
done

missing=()
for pkg in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi

# Groups may bring a post-install step of their own (for example a cross build).
for g in "${groups[@]}"; do
  if [ -x "$here/packages/$g.post" ]; then "$here/packages/$g.post"; fi
done
