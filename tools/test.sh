#!/usr/bin/env bash
# Builds everything and runs every test: the Windows build (run under Wine
# by the plain build's tests), the plain build, then the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the threaded tests
# under ThreadSanitizer. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

packages=(cmake g++ make binutils libgtest-dev libgmock-dev libbenchmark-dev clang-tidy cppcheck
  wine64 g++-mingw-w64-x86-64 g++-mingw-w64-i686 xvfb xdotool clang libclang-rt-14-dev)
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

# The PE files first: the plain build's Wine tests run them.
for preset in windows windows-i686; do
  echo "==> Build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done

for preset in default asan tsan; do
  echo "==> Build and test: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  ctest --preset "$preset"
done
tools/static_analysis.sh
tools/fuzz.sh
