#!/usr/bin/env bash
# The assembler, linker and import-library tools for the device's ARM PE
# files: GNU binutils for the arm-wince-pe target, built from Debian's
# binutils-source package (nothing prebuilt). Built once into a cache folder
# outside any build tree, keyed by the source package's version and this
# recipe's, and reused while it is there. Prints the folder holding
# arm-wince-pe-as, -ld, -dlltool and -windres as its last line.
#
#   tools/arm_pe_toolchain.sh           # build if needed, print the bin folder
#
# Cache: ${DEVICELOCK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/devicelock}.
# Needs binutils-source, gcc, make, flex, bison and m4 (tools/test.sh
# installs them). A failing step ends with one line naming it and its log.
set -euo pipefail

# Raise when the configure options below change, so that a cached build of
# the old recipe is not reused.
recipe=1
target=arm-wince-pe
me=$(basename "$0")

fail() {
  echo "$me: $*" >&2
  exit 1
}

source_dir=/usr/src/binutils
tarball=$(ls "$source_dir"/binutils-*.tar.* 2>/dev/null | head -1 || true)
[ -n "$tarball" ] || fail "finding the source failed: no binutils tarball in $source_dir (install the Debian package binutils-source)"
version=$(dpkg-query -W -f='${Version}' binutils-source 2>/dev/null || true)
[ -n "$version" ] || version=$(basename "$tarball" | sed 's/^binutils-//; s/\.tar\..*$//')
for tool in gcc make flex bison m4 tar; do
  command -v $tool >/dev/null || fail "checking the build tools failed: $tool is missing"
done

cache=${DEVICELOCK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/devicelock}
prefix=$cache/$target-binutils-$version-r$recipe
tools=(as ld dlltool windres objdump ar ranlib)

complete() {
  [ -f "$prefix/.complete" ] || return 1
  for tool in "${tools[@]}"; do [ -x "$prefix/bin/$target-$tool" ] || return 1; done
}

if complete; then
  echo "$prefix/bin"
  exit 0
fi

mkdir -p "$cache" || fail "making the cache folder failed: cannot create $cache"
# One build at a time; a second caller waits, then finds it done.
exec 9>"$prefix.lock"
flock 9 || fail "locking the cache failed: $prefix.lock"
if complete; then
  echo "$prefix/bin"
  exit 0
fi

work=$(mktemp -d "$cache/build.XXXXXX")
cleanup() { [ -n "${work:-}" ] && rm -rf "$work"; }
trap cleanup EXIT
logs=$cache/logs
mkdir -p "$logs"

# Runs one step, its output in a log that stays only if the step fails.
step() {
  local name=$1 log=$logs/$1.log
  shift
  echo "$me: $name ..." >&2
  if ! "$@" >"$log" 2>&1; then
    fail "$name failed (the last lines of $log say why)"
  fi
  rm -f "$log"
}

start=$SECONDS
echo "$me: building $target binutils $version into $prefix (once; a few minutes)" >&2
step unpack tar -xf "$tarball" -C "$work"
src=$(ls -d "$work"/binutils-*/ | head -1)
mkdir -p "$work/build"
cd "$work/build"
step configure "$src/configure" --target=$target --prefix="$prefix" --disable-nls --disable-werror \
  --disable-gdb --disable-gdbserver --disable-sim --disable-gprof --disable-gprofng --disable-gold \
  --disable-libdecnumber --disable-readline --disable-libctf --disable-plugins --without-zstd
# makeinfo is not needed: the manuals are not installed.
step build make -j2 MAKEINFO=true all-gas all-ld all-binutils
step install make MAKEINFO=true DESTDIR="$work/stage" install-strip-gas install-strip-ld install-strip-binutils
# Into place in one rename, so that no caller ever sees half a toolchain.
rm -rf "$prefix"
mv "$work/stage$prefix" "$prefix"
echo "$version recipe $recipe, built in $((SECONDS - start)) s" >"$prefix/.complete"
echo "$me: built in $((SECONDS - start)) s" >&2
echo "$prefix/bin"
