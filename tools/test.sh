#!/usr/bin/env bash
# Builds everything and runs every test: the device-shaped PE files (checked,
# and run under Wine, by the plain build's tests), the plain build, then the
# whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded tests
# under ThreadSanitizer. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# What the demo needs, then the rest, from the one list.
tools/install_packages.sh demo arm test

# Runs a stage and says how long it took.
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "==> $name: $((SECONDS - start)) s"
}

build() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j2
}

build_and_test() {
  build "$1"
  ctest --preset "$1"
}

# The PE files and their bundles first: the plain build's tests read them
# and run the files under Wine. The ARM files need arm-wince-pe binutils,
# built from source once into a cache (a few minutes) and reused after.
timed "arm-wince-pe binutils" tools/arm_pe_toolchain.sh
for preset in wince-x86 wince-x64 armv4i; do
  echo "==> Build: $preset"
  timed "$preset" build "$preset"
  timed "$preset bundle" cpack --preset "$preset"
done

# arm, right after the plain build: the same suite built for the device's
# 32-bit ARM and run under qemu-arm. armv4i then: the arm build's daemon,
# keypad and client tests again, on the device's own ARM PE files, and what
# their build must refuse. Sanitizers and fuzzing stay on this machine's processor.
for preset in default arm armv4i asan tsan; do
  echo "==> Build and test: $preset"
  timed "$preset" build_and_test "$preset"
done
# The device's own ARM files on a real Windows CE 5.0 kernel, booted in
# qemu-system-arm from a module set that is never part of the project.
if [ -z "${DEVICELOCK_CE5_MODULES:-}" ]; then
  echo "==> ce5: skipped: DEVICELOCK_CE5_MODULES names no module set (a Windows CE 5.0 build for the Mainstone II board as separate modules, with its kern.pdb, wince.nls and boot arguments; README, \"A real CE 5.0 kernel\", says where one comes from)"
else
  # Absolute: the tests run in the build tree.
  DEVICELOCK_CE5_MODULES=$(cd "$DEVICELOCK_CE5_MODULES" 2>/dev/null && pwd) ||
    { echo "tools/test.sh: DEVICELOCK_CE5_MODULES names no folder" >&2; exit 1; }
  export DEVICELOCK_CE5_MODULES
  timed "ce5 (real kernel)" ctest --preset ce5
fi
timed "static analysis" tools/static_analysis.sh
timed "fuzzing" tools/fuzz.sh
