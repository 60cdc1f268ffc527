#!/usr/bin/env bash
# Checks a device bundle made by cpack (DeviceLock-VERSION-TARGET.zip): it
# holds exactly the files below, under one top folder named like the zip,
# each identical to the file it was made from, so that a bundle older than
# its build is caught too. Reads the zip only; writes nothing.
#
# usage: check_bundle.sh ZIP BUILD_DIR SOURCE_DIR
# Exit status 0 when it matches, 1 when it does not, 2 on bad arguments, and
# 77 (a skip) when the zip or unzip is missing, unless CI=true.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 ZIP BUILD_DIR SOURCE_DIR" >&2
  exit 2
fi
zip=$1 build=$2 source=$3

# Skips, or fails under CI, saying what is missing.
missing() {
  echo "$1"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
command -v unzip >/dev/null || missing "missing unzip: install the Debian package unzip"
[ -f "$zip" ] || missing "missing $zip: build the preset, then run cpack --preset $(basename "$build")"
for dir in "$build" "$source"; do
  [ -d "$dir" ] || { echo "$0: no such directory: $dir" >&2; exit 2; }
done

# Each member of the bundle, below its top folder, and what it is made from.
members=(
  "bin/vespertin.exe           $build/bin/vespertin.exe"
  "bin/tallowbeck.dll          $build/bin/tallowbeck.dll"
  "include/tallowbeck.h        $source/Lock/tallowbeck.h"
  "lib/tallowbeck.def          $source/Lock/tallowbeck.def"
  "doc/README.md               $source/README.md"
  "doc/CHANGELOG.md            $source/CHANGELOG.md"
  "doc/deploying.md            $source/docs/deploying.md"
  "doc/figures/power-event.svg $source/docs/figures/power-event.svg"
  "doc/figures/key-event.svg   $source/docs/figures/key-event.svg"
  "doc/figures/key-decision.svg $source/docs/figures/key-decision.svg"
)

top=$(basename "$zip" .zip)
# The expected listing: every member and every folder above it.
expected() {
  local entry member
  for entry in "${members[@]}"; do
    member=${entry%% *}
    echo "$top/$member"
    while [[ $member == */* ]]; do
      member=${member%/*}
      echo "$top/$member/"
    done
  done | sort -u
}

status=0
if ! differences=$(diff <(expected) <(unzip -Z1 "$zip" | sort)); then
  echo "$zip: members differ from the expected list ('<' missing, '>' extra):"
  echo "$differences"
  status=1
fi
for entry in "${members[@]}"; do
  read -r member made_from <<<"$entry"
  if ! cmp -s <(unzip -p "$zip" "$top/$member") "$made_from"; then
    echo "$zip: $member differs from $made_from"
    status=1
  fi
done
[ $status -eq 0 ] && echo "$zip: ${#members[@]} files, as expected"
exit $status
