#!/usr/bin/env bash
# Context switches of the idle daemon: starts vespertin.exe in a fresh device,
# lets it settle into its wait, then counts its voluntary and involuntary
# context switches over an idle period (30 s unless given). An idle daemon
# sleeps in the kernel, so both differences should be 0.
#
#   benchmarks/idle_context_switches.sh [SECONDS] [BIN_DIR]   (BIN_DIR: build/bench/bin, the bench preset)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
bin=${2:-$root/build/bench/bin}

[ -x "$bin/simdevice" ] || { echo "$0: no $bin/simdevice: build the bench preset first (cmake --preset bench && cmake --build --preset bench)" >&2; exit 2; }
SIMDEVICE_DIR=$(mktemp -d /tmp/simdevice-idle-XXXXXX)
export SIMDEVICE_DIR
device() { "$bin/simdevice" "$@"; }
# The device, or the empty folder if no device was made in it.
trap 'device destroy 2>/dev/null || rmdir "$SIMDEVICE_DIR"' EXIT
device init >/dev/null

pid=$(device start "$bin/vespertin.exe")
device wait power-subscribed 1 10

# Voluntary and involuntary switches, summed over the daemon's threads.
sample() {
  awk '/^voluntary_ctxt_switches/ {v += $2} /^nonvoluntary_ctxt_switches/ {n += $2} END {print v, n}' \
    /proc/"$pid"/task/*/status
}

read -r v0 n0 < <(sample)
sleep "$seconds"
kill -0 "$pid"  # still running
read -r v1 n1 < <(sample)

echo "vespertin.exe (pid $pid) idle for ${seconds}s:"
echo "  voluntary context switches:    $((v1 - v0))"
echo "  nonvoluntary context switches: $((n1 - n0))"
