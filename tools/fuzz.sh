#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for a bounded time
# (SECONDS each, default 60) on a scratch copy of its seed corpus, so nothing
# new is written into the repository. Prints each target's executions and
# coverage; exits non-zero on any finding, keeping the inputs that caused
# them in build/fuzz/findings/.
#
#   tools/fuzz.sh [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
targets=(power_watcher launcher keypad)

echo "==> Build: fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# The simulated devices and corpora live in memory where there is some: the
# targets rewrite small files for every input.
base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
scratch=$(mktemp -d "$base/devicelock-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
findings=$root/build/fuzz/findings
artifacts=$scratch/artifacts
mkdir -p "$artifacts"

failed=()
for target in "${targets[@]}"; do
  echo "==> Fuzz: $target for ${seconds}s"
  corpus=$scratch/$target
  mkdir -p "$corpus"
  cp fuzz/corpus/"$target"/* "$corpus"/
  log=$scratch/$target.log
  status=0
  (cd "$scratch" && TMPDIR=$scratch "$root/build/fuzz/bin/${target}_fuzz" \
    -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$target-" "$corpus" >"$log" 2>&1) || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  echo "$target: ${executions:-?} executions, ${coverage:-no coverage line}"
  if [ "$status" -ne 0 ] || compgen -G "$artifacts/$target-*" >/dev/null; then
    failed+=("$target")
    mkdir -p "$findings"
    cp "$log" "$findings/"
    for artifact in "$artifacts/$target"-*; do [ -f "$artifact" ] && cp "$artifact" "$findings/"; done
    echo "$target: FAILED (exit $status); log and inputs in $findings" >&2
    grep -E '==oracle==|ERROR:|SUMMARY:' "$log" | head -20 >&2 || tail -40 "$log" >&2
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "==> Fuzz findings in: ${failed[*]}" >&2
  exit 1
fi
echo "==> Fuzz: no findings"
