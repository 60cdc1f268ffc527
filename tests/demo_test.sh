#!/usr/bin/env bash
# tools/demo.sh as a newcomer runs it, on the default build (SKIP_BUILD=1):
# bad input refused with one line and nothing made; a failed start leaves no
# folder behind; a device made by hand ($SIMDEVICE_DIR) is left alone, its
# daemon still running, while the demo plays in a device of its own.
#
# usage: demo_test.sh SOURCE_DIR
set -euo pipefail
source=$1
bin=$source/build/default/bin
status=0
failed() { echo "FAILED: $*"; status=1; }
scratch=$(mktemp -d)
export TMPDIR=$scratch/tmp SKIP_BUILD=1
mkdir "$TMPDIR"
hand=$scratch/hand
cleanup() { SIMDEVICE_DIR=$hand "$bin/simdevice" destroy 2>/dev/null || true; rm -rf "$scratch"; }
trap cleanup EXIT

# args | environment | exit status | standard output holds | standard error holds ("" none)
cases=(
  "--help||0|usage: tools/demo.sh [--arm]|"
  "-h||0|usage: tools/demo.sh [--arm]|"
  "--bogus||2||demo.sh: unknown option '--bogus'; usage: tools/demo.sh [--arm]"
  "--arm extra||2||demo.sh: too many arguments"
  "|SIMDEVICE_FAULTS=CreateMsgQueue=fail:8|2||demo.sh: SIMDEVICE_FAULTS is set; the demo runs without faults"
  "--arm|SIMDEVICE_EMULATOR=false|1||"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r args environment want_status want_out want_err <<<"$entry"
  got_status=0
  # shellcheck disable=SC2086
  env $environment "$source/tools/demo.sh" $args >"$scratch/out" 2>"$scratch/err" || got_status=$?
  what="demo.sh $args ($environment)"
  [ "$got_status" = "$want_status" ] || failed "$what: exit $got_status, expected $want_status"
  [ -z "$want_out" ] || grep -qF -- "$want_out" "$scratch/out" || failed "$what: standard output lacks '$want_out'"
  if [ "$want_status" = 2 ]; then
    [ "$(wc -l <"$scratch/err")" = 1 ] && grep -qF -- "$want_err" "$scratch/err" ||
      failed "$what: said '$(cat "$scratch/err")', expected one line with '$want_err'"
  elif [ "$want_status" = 0 ]; then
    [ ! -s "$scratch/err" ] || failed "$what: said $(cat "$scratch/err")"
  fi
  [ -z "$(ls -A "$TMPDIR")" ] || failed "$what: left $(ls "$TMPDIR")"
done

# A device by hand, with its daemon listening, through a whole demo.
export SIMDEVICE_DIR=$hand
"$bin/simdevice" init >/dev/null
daemon=$("$bin/simdevice" start "$bin/vespertin.exe")
"$bin/simdevice" wait power-subscribed
"$source/tools/demo.sh" >"$scratch/out" 2>&1 || failed "the demo failed: $(tail -5 "$scratch/out")"
grep -qF "==> Leaving your device at $hand alone" "$scratch/out" || failed "the demo did not say it left $hand alone"
[ "$("$bin/simdevice" ps)" = "$daemon" ] || failed "the by-hand daemon $daemon is no longer the device's program"
[ "$("$bin/simdevice" log | grep -c ' start ')" = 1 ] || failed "the by-hand device's timeline changed"
[ -z "$(ls -A "$TMPDIR")" ] || failed "the demo left $(ls "$TMPDIR")"
[ $status -eq 0 ] && echo "demo.sh: ${#cases[@]} bad or edge inputs as expected; a device by hand left alone"
exit $status
