#!/usr/bin/env bash
# Parses every application source under ARC rules with the Apple runtime
# model, against GNUstep's headers and the stand-ins: what would break the
# macOS build (retain/release calls, missing ownership, bridging) fails here.
#   mac/gnustep/arc-check.sh <build dir>   (its core/ holds the version header;
#                                           the check's own files go beside it)
set -euo pipefail
cd "$(dirname "$0")/../.."
scratch="${1:?scratch directory}"
gcc_include="$(gcc -print-file-name=include)"
# gcc's objc/runtime.h is not ARC-clean; a patched copy stands in for the
# SDK's headers (an inline accessor and two protocol-list returns).
rm -rf "$scratch/arc-include"
mkdir -p "$scratch/arc-include"
cp -r "$gcc_include/objc" "$scratch/arc-include/"
sed -i -e 's/return object->class_pointer;/return *(Class *)(__bridge void *)object;/' \
       -e 's/Protocol \*\*/Protocol * __unsafe_unretained */g' "$scratch/arc-include/objc/runtime.h"
defines=(-DGNUSTEP -DGNUSTEP_BASE_LIBRARY=1 -DGNU_GUI_LIBRARY=1 -DGNU_RUNTIME=1 -D_NATIVE_OBJC_EXCEPTIONS)
status=0
checked=0
for source in mac/*.mm; do
  if ! clang++ -std=c++17 -fsyntax-only -fobjc-runtime=macosx-10.13 -fobjc-arc -fblocks -fobjc-exceptions \
      -Wall -Wextra -Werror=arc-unsafe-retained-assign -Werror=objc-method-access -Wno-deprecated-declarations \
      "${defines[@]}" -I"$scratch/arc-include" -Imac -Imac/gnustep/include -Icore -I"$scratch/core" -Ifrontend \
      -isystem /usr/include/GNUstep -idirafter "$gcc_include" \
      -include mac/gnustep/include/StandIns.h "$source"; then
    echo "ARC check failed: $source"
    status=1
  fi
  checked=$((checked + 1))
done
echo "ARC check: $checked sources, $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
