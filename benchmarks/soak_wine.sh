#!/usr/bin/env bash
# The soak under Wine: soak_wine.exe against the device-shaped x64 files
# (the wince-x64 preset), in a private Wine prefix with a private X display,
# both removed afterwards. Its arguments are soak_wine.exe's:
#
#   benchmarks/soak_wine.sh --broadcasts N --keys N [--samples]
#
# BUILD (default build/wince-x64) says where the preset built. Exit status:
# soak_wine.exe's (0 passed, 1 failed, 2 bad input); 77 (skipped, as the
# Wine tests are) when Wine, Xvfb or the build is missing, 1 then under CI.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build/wince-x64}
missing() {
  echo "soak_wine.sh: missing $1" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
for tool in wine wineserver Xvfb; do
  command -v "$tool" >/dev/null || missing "$tool (Debian: wine64, xvfb)"
done
[ -f "$build/bench/soak_wine.exe" ] ||
  missing "$build/bench/soak_wine.exe (cmake --preset wince-x64 && cmake --build --preset wince-x64)"

scratch=$(mktemp -d /tmp/soak-wine-XXXXXX)
xvfb=
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# A free display, chosen by Xvfb itself.
exec 3> >(cat >"$scratch/display")
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null &
xvfb=$!
exec 3>&-
until [ -s "$scratch/display" ]; do sleep 0.1; done
export DISPLAY=:$(head -1 "$scratch/display")

wine wineboot --init >/dev/null 2>&1 && wineserver -w
mkdir "$scratch/programs"
cp "$build"/bin/*.exe "$build"/bin/*.dll "$build/bench/soak_wine.exe" "$scratch/programs"
cd "$scratch/programs"
status=0
wine soak_wine.exe "$@" || status=$?
exit "$status"
