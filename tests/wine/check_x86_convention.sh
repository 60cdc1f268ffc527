#!/usr/bin/env bash
# CE x86 has one calling convention, cdecl: the caller pops the arguments and
# names are undecorated. Checks the wince-x86 build for the desktop's
# stdcall: a callee-pops return ("ret $N") anywhere in the code linked into
# the device-shaped files (their exports, the hook procedure and DllMain
# among it), or a decorated name (Name@N) in coredll.dll's import library.
# Reads only.
#
# The code is read from the objects the files are linked from: a lean image
# keeps its export table, constants and resources in its one code section,
# where a disassembler takes their bytes (the export table's timestamp among
# them) for instructions.
#
# usage: check_x86_convention.sh BUILD_DIR
# Exit status 0 when all is cdecl, 1 when not, 2 on bad arguments, and 77 (a
# skip) when the build or the tools are missing, unless CI=true.
set -euo pipefail

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$1
missing() {
  echo "$1"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
for tool in i686-w64-mingw32-objdump i686-w64-mingw32-nm; do
  command -v $tool >/dev/null || missing "missing $tool: install the Debian package binutils-mingw-w64-i686"
done
import_library=$build/platform/win32/libcoredll_device.a
[ -f "$import_library" ] || missing "missing $import_library: build the preset wince-x86"

status=0
# Each file, and the folder of the objects it is linked from.
for pair in vespertin.exe:PowerManager/CMakeFiles/vespertin.dir tallowbeck.dll:Lock/CMakeFiles/tallowbeck.dir \
    keypad_client.exe:tests/c_client/CMakeFiles/keypad_client.dir \
    "program start-up code:platform/win32/CMakeFiles/device_program_entry.dir"; do
  file=${pair%%:*} objects=$build/${pair#*:}
  [ -d "$objects" ] || missing "missing $objects: build the preset wince-x86"
  pops=$(find "$objects" -name '*.obj' -exec i686-w64-mingw32-objdump -d {} + | grep -E $'\tret +\\$0x' || true)
  if [ -n "$pops" ]; then
    echo "$file: callee-pops returns (stdcall), where CE x86 is cdecl:"
    echo "$pops"
    status=1
  fi
done
decorated=$(i686-w64-mingw32-nm "$import_library" | grep -E ' [TI] .*@[0-9]+$' || true)
if [ -n "$decorated" ]; then
  echo "$import_library: decorated names, where CE x86's coredll.lib has plain ones:"
  echo "$decorated"
  status=1
fi
[ $status -eq 0 ] && echo "cdecl throughout: no callee-pops return, no decorated import"
exit $status
