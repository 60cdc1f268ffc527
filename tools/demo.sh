#!/usr/bin/env bash
# The main job: builds the system, makes a fresh simulated device, and shows
# the daemon and the keypad lock at work in it. Ends with the device's timeline.
#
#   tools/demo.sh          on this machine's processor
#   tools/demo.sh --arm    built for 32-bit ARM (the arm preset), every program
#                          run under qemu-arm (SIMDEVICE_EMULATOR, if set, instead)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: tools/demo.sh [--arm]"
preset=default
case "${1:-}" in
  "") ;;
  --arm) preset=arm ;;
  -h|--help) echo "$usage"; echo "Installs what it needs, builds, and plays the scenario in a device of its own."; exit 0 ;;
  *) echo "demo.sh: unknown option '$1'; $usage" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "demo.sh: too many arguments; $usage" >&2; exit 2; }
# The demo plays its own scenario: a plan from the shell would fault its client.
if [ -n "${SIMDEVICE_FAULTS:-}" ]; then
  echo "demo.sh: SIMDEVICE_FAULTS is set; the demo runs without faults: unset it (by hand: simdevice start --fault)" >&2
  exit 2
fi
bin=$root/build/$preset/bin

if [ "$preset" = arm ]; then
  export SIMDEVICE_EMULATOR=${SIMDEVICE_EMULATOR:-qemu-arm -L /usr/arm-linux-gnueabi}
else
  export SIMDEVICE_EMULATOR=""
fi
# The device starts its programs through the emulator; the demo starts its tools the same way.
read -ra emulator <<<"$SIMDEVICE_EMULATOR"

if [ "${SKIP_BUILD:-}" != 1 ]; then
  groups=(demo); [ "$preset" = arm ] && groups+=(arm)
  "$root/tools/install_packages.sh" "${groups[@]}"
  echo "==> Building (cmake --preset $preset)"
  cmake --preset "$preset" -S "$root" >/dev/null
  cmake --build --preset "$preset" -j2 >/dev/null
fi

# Always a device of its own: one made by hand ($SIMDEVICE_DIR) is left alone.
[ -n "${SIMDEVICE_DIR:-}" ] && echo "==> Leaving your device at $SIMDEVICE_DIR alone"
SIMDEVICE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/simdevice-demo-XXXXXX")
export SIMDEVICE_DIR
device() { "${emulator[@]}" "$bin/simdevice" "$@"; }
# Removes the device, or the empty folder if no device was made in it.
trap 'device destroy 2>/dev/null || rmdir "$SIMDEVICE_DIR"' EXIT
device init >/dev/null
echo "==> A fresh simulated device in $SIMDEVICE_DIR"

echo
echo "==> Starting the daemon: vespertin.exe"
daemon=$(device start "$bin/vespertin.exe")
device wait power-subscribed 1 10
echo "    running as pid $daemon, subscribed to power broadcasts"

echo "==> Starting a second copy (it must leave at once with status 1)"
device run "$bin/vespertin.exe" --some-argument || true

echo "==> The device goes unattended: the lock application must start from the daemon's directory"
device post unattended
device wait lockapp-started 1 10

echo "==> Resume, then a power-information change: each asks the lock application's window to repaint"
device post resume
device wait lockapp-repainted 1 10
device post powerinfo
device wait lockapp-repainted 2 10

echo "==> A plain transition to 'on': nothing happens"
device post on
sleep 0.3

echo
echo "==> The keypad lock: a client loads tallowbeck.dll and plays keys through its hook"
"${emulator[@]}" "$bin/kbclient" <<'SCRIPT'
load
activate 1
# No call in progress: every key is swallowed.
key F3
key Enter
phone talking
# During a call in mode 1, F3 to F6 pass; F7 and Enter do not.
key F3
key F6 up
key F7
key Enter
# Mode 0: nothing passes, even during a call.
activate 0
key F4
# After deactivation every key passes again.
deactivate
key F7
key Enter
unload
SCRIPT

echo
echo "==> The device's timeline"
device log
echo
echo "==> Debug output of the device: $(device debug | wc -c) bytes"
device debug
