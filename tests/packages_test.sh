#!/usr/bin/env bash
# The one package list and its installer:
# 1. every find_package this build ran (FOUND, written at configure time)
#    names a package of the groups the build's demo installs, and every
#    find_package in the sources names one of some group;
# 2. the installer over a table of cases, with apt-get faked on PATH (nothing
#    is installed or removed here): exit status, one line naming the package,
#    and no install attempted where it must not be.
#
# usage: packages_test.sh SOURCE_DIR FOUND GROUP...
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 SOURCE_DIR FOUND GROUP..." >&2; exit 2; }
source=$1 found=$2
shift 2
list=$source/tools/packages.txt
status=0
failed() { echo "FAILED: $*"; status=1; }

# The names find_package finds through the packages of GROUPs.
served() { awk -v groups=" $* " '!/^#/ && NF > 2 && index(groups, " " $1 " ") { for (i = 3; i <= NF; i++) print $i }' "$list"; }

# Ours: what the sources ask for (a package's own optional look-ups, such as
# GoogleTest's sources asking for Python, are its business).
ours=$(grep -rhoE --include=CMakeLists.txt --include='*.cmake' 'find_package\([A-Za-z0-9_]+' "$source" \
         --exclude-dir=build | sed 's/find_package(//' | sort -u)
for name in $(cat "$found"); do
  grep -qx "$name" <<<"$ours" || continue
  served "$@" | grep -qx "$name" || failed "find_package($name) in this build: no package of '$*' in $list serves it"
done
all_groups=$(awk '!/^#/ && NF {print $1}' "$list" | sort -u)
for name in $ours; do
  served $all_groups | grep -qx "$name" || failed "find_package($name) in the sources: no package in $list serves it"
done

# A fake apt-get that records its calls and fails as FAKE_APT_FAILS says;
# apt-cache and dpkg-query are the machine's own.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
cat >"$scratch/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "$*" >>"$FAKE_APT_CALLS"
case " $* " in *" $FAKE_APT_FAILS "*) echo "E: faked failure of $FAKE_APT_FAILS"; exit 100 ;; esac
FAKE
printf '#!/bin/sh\nexec "$@"\n' >"$scratch/bin/sudo"
chmod +x "$scratch/bin/apt-get" "$scratch/bin/sudo"
installed=$(dpkg-query -W -f='${Package}\n' cmake)   # installed wherever this test runs
available=$(apt-cache pkgnames 2>/dev/null | grep -vxF -f <(dpkg-query -W -f='${Package}\n') | head -1 || true)

# groups | list lines | apt-get's failing verb | exit status | what standard error holds ("" none) | install attempted
cases=(
  "demo|demo $installed||0||no"
  "demo|demo $installed;demo devicelock-no-such-package||1|cannot install devicelock-no-such-package: no such package in the apt sources|no"
  "demo|demo $installed;test devicelock-no-such-package||0||no"
  "demo test|demo $installed;test devicelock-no-such-package||1|cannot install devicelock-no-such-package: no such package|no"
  "demo|demo devicelock-no-such-package|update|1|cannot install devicelock-no-such-package: apt-get update failed: E: faked failure of update|no"
  "bogus|demo $installed||2|unknown group 'bogus' (one of: demo)|no"
  "|demo $installed||2|usage: tools/install_packages.sh [--list FILE] GROUP...|no"
)
[ -n "$available" ] && cases+=("demo|demo $available|install|1|cannot install $available: apt-get install failed: E: faked failure of install|yes")
for entry in "${cases[@]}"; do
  IFS='|' read -r groups lines fails want_status want_err want_install <<<"$entry"
  tr ';' '\n' <<<"$lines" >"$scratch/packages.txt"
  : >"$scratch/calls"
  got_status=0
  # shellcheck disable=SC2086
  PATH=$scratch/bin:$PATH FAKE_APT_CALLS=$scratch/calls FAKE_APT_FAILS=$fails \
    "$source/tools/install_packages.sh" --list "$scratch/packages.txt" $groups >"$scratch/out" 2>"$scratch/err" || got_status=$?
  what="install_packages.sh $groups over '$lines'"
  [ "$got_status" = "$want_status" ] || failed "$what: exit $got_status, expected $want_status"
  if [ -z "$want_err" ]; then
    [ ! -s "$scratch/err" ] || failed "$what: said $(cat "$scratch/err")"
  else
    [ "$(wc -l <"$scratch/err")" = 1 ] || failed "$what: not one line: $(cat "$scratch/err")"
    grep -qF "$want_err" "$scratch/err" || failed "$what: said '$(cat "$scratch/err")', expected '$want_err'"
  fi
  attempted=no; grep -q '^install' "$scratch/calls" && attempted=yes
  [ "$attempted" = "$want_install" ] || failed "$what: install attempted: $attempted, expected $want_install"
done
[ $status -eq 0 ] && echo "package list: every find_package served; ${#cases[@]} installer cases as expected"
exit $status
