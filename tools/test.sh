#!/usr/bin/env bash
# Builds everything and runs every test: the device-shaped PE files (checked,
# and run under Wine, by the plain build's tests), the plain build, then the
# whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded tests
# under ThreadSanitizer. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

packages=(cmake g++ make binutils libgtest-dev libgmock-dev libbenchmark-dev clang-tidy cppcheck
  librapidcheck-dev wine64 g++-mingw-w64-x86-64 g++-mingw-w64-i686 xvfb xdotool clang libclang-rt-14-dev mscgen graphviz
  libcli11-dev libfmt-dev)
# unzip: the bundle check reads the zips cpack makes.
packages+=(unzip)
# The arm stage: the cross compiler, qemu-arm to run what it builds, and
# GoogleTest's sources to build it for the target.
packages+=(g++-arm-linux-gnueabi qemu-user googletest)
# The device's own ARM files: binutils' sources and what builds them, and
# python3 for the compiler driver and its assembly translation.
packages+=(binutils-source flex bison m4 python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "==> Installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

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
timed "static analysis" tools/static_analysis.sh
timed "fuzzing" tools/fuzz.sh
