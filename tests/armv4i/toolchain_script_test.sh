#!/usr/bin/env bash
# tools/arm_pe_toolchain.sh in caches of its own: a complete toolchain of
# this version and recipe is reused without building; any other (another
# recipe or version, half built, a tool missing) is not; a step that fails
# ends the script with one line naming the step and its log, and leaves
# neither its work folder nor a toolchain behind. Writes only below a
# scratch folder it removes.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/tools/arm_pe_toolchain.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

version=$(dpkg-query -W -f='${Version}' binutils-source)
recipe=$(sed -n 's/^recipe=//p' "$script")
[ -n "$version" ] && [ -n "$recipe" ] || { echo "FAIL: no binutils-source version or no recipe in $script"; exit 1; }
tools=(as ld dlltool windres objdump ar ranlib)

# A toolchain that looks built: CACHE/NAME/bin with every tool, and the mark.
fake_toolchain() {
  local prefix=$1/$2
  mkdir -p "$prefix/bin"
  for tool in "${tools[@]}"; do
    printf '#!/bin/sh\n' >"$prefix/bin/arm-wince-pe-$tool"
    chmod +x "$prefix/bin/arm-wince-pe-$tool"
  done
  echo done >"$prefix/.complete"
}
current=arm-wince-pe-binutils-$version-r$recipe

# Reused: printed as it is, nothing built.
fake_toolchain "$scratch/reused" "$current"
out=$(DEVICELOCK_CACHE=$scratch/reused "$script" 2>&1) || fail "a complete cache was not reused: $out"
[ "$out" = "$scratch/reused/$current/bin" ] || fail "reused: printed '$out', not only $scratch/reused/$current/bin"

# Every build below fails at once: tar, first on PATH, cannot unpack. So a
# script that tries to build ends with the unpack step's line.
mkdir -p "$scratch/fake"
printf '#!/bin/sh\necho "tar: cannot unpack" >&2\nexit 2\n' >"$scratch/fake/tar"
chmod +x "$scratch/fake/tar"

# Not reused: the script must try to build.
for case in "another recipe" "another version" "half built" "a tool missing"; do
  cache=$scratch/stale-${case// /-}
  case $case in
    "another recipe") fake_toolchain "$cache" "arm-wince-pe-binutils-$version-r$((recipe - 1))" ;;
    "another version") fake_toolchain "$cache" "arm-wince-pe-binutils-0.0-r$recipe" ;;
    "half built") fake_toolchain "$cache" "$current" && rm "$cache/$current/.complete" ;;
    "a tool missing") fake_toolchain "$cache" "$current" && rm "$cache/$current/bin/arm-wince-pe-windres" ;;
  esac
  out=$(PATH=$scratch/fake:$PATH DEVICELOCK_CACHE=$cache "$script" 2>&1) &&
    fail "$case: taken for a toolchain ($out)"
  grep -q "unpack failed" <<<"$out" || fail "$case: no build was tried: $out"
done

# A failing step: one last line naming it and its log, exit status 1.
cache=$scratch/failing
out=$(PATH=$scratch/fake:$PATH DEVICELOCK_CACHE=$cache "$script" 2>&1)
code=$?
[ $code -eq 1 ] || fail "a failed step exited with $code, not 1"
last=$(tail -1 <<<"$out")
[[ $last == "arm_pe_toolchain.sh: unpack failed (the last lines of $cache/logs/unpack.log say why)" ]] ||
  fail "the last line does not name the step and its log: $last"
grep -q "cannot unpack" "$cache/logs/unpack.log" || fail "the step's log lacks its output"
[ -e "$cache/$current" ] && fail "a half-built toolchain was left in place"
compgen -G "$cache/build.*" >/dev/null && fail "the failed build's work folder was left: $(echo "$cache"/build.*)"

[ $status -eq 0 ] && echo "reused when complete and current, else built; a failed step named with its log, nothing left"
exit $status
