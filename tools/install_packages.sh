#!/usr/bin/env bash
# Installs what GROUPs of tools/packages.txt need, only the missing packages.
# A package that cannot be installed ends it with one line naming it (exit 1).
#
#   tools/install_packages.sh [--list FILE] GROUP...      (demo, arm, test)
set -euo pipefail
me=tools/install_packages.sh
list=$(dirname "$0")/packages.txt
if [ "${1:-}" = --list ]; then list=${2:?$me: --list needs a FILE}; shift 2; fi
[ $# -gt 0 ] || { echo "usage: $me [--list FILE] GROUP..." >&2; exit 2; }
groups=$(grep -v '^#' "$list" | awk 'NF {print $1}' | sort -u | tr '\n' ' ')
wanted=()
for group in "$@"; do
  [[ " $groups" == *" $group "* ]] || { echo "$me: unknown group '$group' (one of: ${groups% })" >&2; exit 2; }
  wanted+=($(awk -v g="$group" '!/^#/ && $1 == g {print $2}' "$list"))
done
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "==> Installing for $*: ${missing[*]}"
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# One line for any failure: the packages and apt's own last error.
fail() { echo "$me: cannot install $1: $2${3:+: $(grep -E '^(E|W|Err):' "$log" | tail -1 || true)}" >&2; exit 1; }
$sudo apt-get update -qq >"$log" 2>&1 || fail "${missing[*]}" "apt-get update failed" log
# One apt-cache call for all (each reads the whole package cache).
candidates=$(apt-cache policy "${missing[@]}" 2>/dev/null |
  awk '/^[^ ].*:$/ {name = substr($0, 1, length($0) - 1)} /^ *Candidate: / && $2 != "(none)" {print name}')
for p in "${missing[@]}"; do
  grep -qx "$p" <<<"$candidates" || fail "$p" "no such package in the apt sources"
done
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >"$log" 2>&1 ||
  fail "${missing[*]}" "apt-get install failed" log
