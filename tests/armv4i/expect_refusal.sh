#!/usr/bin/env bash
# Builds TARGET in BUILD_DIR and passes when the build fails with every
# PHRASE in its output: a probe that the device build must refuse, and say why.
#
# usage: expect_refusal.sh BUILD_DIR TARGET PHRASE...
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: $0 BUILD_DIR TARGET PHRASE..." >&2; exit 2; }
build=$1 target=$2
shift 2
output=$(cmake --build "$build" --target "$target" 2>&1)
if [ $? -eq 0 ]; then
  echo "$target built, but must be refused"
  exit 1
fi
status=0
for phrase in "$@"; do
  if ! grep -qF -- "$phrase" <<<"$output"; then
    echo "$target was refused, but the output does not say: $phrase"
    status=1
  fi
done
[ $status -eq 0 ] && echo "$target refused: $*" || echo "$output"
exit $status
