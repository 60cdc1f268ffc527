#!/usr/bin/env bash
# The main job: builds the system, makes a fresh simulated device, and shows
# the daemon and the keypad lock at work in it. Ends with the device's timeline.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/default/bin

if [ "${SKIP_BUILD:-}" != 1 ]; then
  echo "==> Building (cmake --preset default)"
  cmake --preset default -S "$root" >/dev/null
  cmake --build --preset default -j2 >/dev/null
fi

export SIMDEVICE_DIR=${SIMDEVICE_DIR:-$(mktemp -d /tmp/simdevice-demo-XXXXXX)}
device() { "$bin/simdevice" "$@"; }
trap 'device destroy' EXIT
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
"$bin/kbclient" <<'SCRIPT'
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
