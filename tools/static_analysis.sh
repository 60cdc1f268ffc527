#!/usr/bin/env bash
# Static analysis of the device code (PowerManager/, Lock/) with clang-tidy
# (checks in .clang-tidy) and cppcheck (tools/cppcheck.options,
# tools/cppcheck-suppressions.txt), on the default preset's compile commands so
# that both see the device compiler's flags. Fails on any finding.
#
#   tools/static_analysis.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

build=build/default
database=$build/compile_commands.json
mapfile -t sources < <(ls PowerManager/*.cpp Lock/*.cpp)

# Every device source must be in the database: a file clang-tidy has no entry
# for is analysed with guessed flags, and cppcheck skips it.
missing_sources() {
  local f
  for f in "${sources[@]}"; do
    [ -f "$database" ] && grep -q "\"file\": *\"$root/$f\"" "$database" || echo "$f"
  done
}
if [ -n "$(missing_sources)" ]; then
  echo "==> Configuring the default preset for its compile commands"
  cmake --preset default >/dev/null
fi
if [ -n "$(missing_sources)" ]; then
  echo "not in $database:" $(missing_sources) >&2
  exit 1
fi

failed=()

echo "==> clang-tidy: ${sources[*]}"
# --quiet drops the per-file count of warnings hidden in the platform's and
# the C library's headers; findings in our code still print.
if ! clang-tidy --quiet -p "$build" --config-file=.clang-tidy "${sources[@]}" 2> >(grep -v ' warnings\? generated\.$' >&2); then
  failed+=(clang-tidy)
fi

echo "==> cppcheck"
mapfile -t cppcheck_options < <(grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' tools/cppcheck.options)
if ! cppcheck --project="$database" --file-filter='PowerManager/*' --file-filter='Lock/*' \
    "${cppcheck_options[@]}" --suppressions-list=tools/cppcheck-suppressions.txt \
    --quiet --error-exitcode=1 --template='{file}:{line}:{column}: {severity}: {message} [{id}]'; then
  failed+=(cppcheck)
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "==> Static analysis: findings from ${failed[*]}" >&2
  exit 1
fi
echo "==> Static analysis: no findings"
