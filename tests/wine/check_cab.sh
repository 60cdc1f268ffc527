#!/usr/bin/env bash
# Checks a device bundle's CAB (DeviceLock-VERSION-TARGET.cab, made by cpack
# through cmake/DeviceCab.cmake) against the format's public rules, cited
# below, and against the build: every file inside byte-identical to the
# built one. Reads the CAB only (it extracts into a scratch folder).
#
# usage: check_cab.sh CAB BUILD_DIR VERSION
#        check_cab.sh --broken CAB BUILD_DIR VERSION   (each broken copy must be refused)
# Exit status 0 when it holds, 1 when not, 2 on bad arguments, and 77 (a
# skip) when the CAB, gcab or xmllint is missing, unless CI=true.
#
# Sources:
# [install]  Install CSP provisioning document: InstallPhase must be "install";
#            AppName at most 70 characters; InstallDir; NumDirs, NumFiles,
#            NumRegKeys, NumRegVals, NumShortcuts count what the document does.
#            https://learn.microsoft.com/en-us/previous-versions/windows/embedded/gg155004(v=winembedded.70)
#            and, for its place just below <wap-provisioningdoc>,
#            https://learn.microsoft.com/en-us/previous-versions/aa459075(v=msdn.10)
# [fileop]   FileOperation CSP: directory and file characteristics holding
#            MakeDir, Extract (parm Source: the file in the open CAB) and
#            Shortcut (parm Source: the executable).
#            https://learn.microsoft.com/en-us/previous-versions/windows/embedded/gg155022(v=winembedded.70)
# [setupxml] _setup.xml in a CAB: a characteristic or parm naming a file or
#            directory must carry translation "filesystem" or "install".
#            https://learn.microsoft.com/en-us/previous-versions/aa457894(v=msdn.10)
# [cestr]    CE strings: %CE1% \Program Files, %CE4% \Windows\StartUp.
#            https://learn.microsoft.com/en-us/previous-versions/aa459003(v=msdn.10)
# [names]    files in a CE installation cabinet carry 8.3 names whose extension
#            is the file's three-digit number (the format's public description).
#            https://cabextract.org.uk/wince_cab_format/
# [init]     HKLM\Init is a protected key on Windows Mobile: an installer writes
#            no registry value under it.
#            https://learn.microsoft.com/en-us/previous-versions/aa914678(v=msdn.10)
set -euo pipefail

broken=no
[ "${1:-}" = --broken ] && { broken=yes; shift; }
if [ $# -ne 3 ]; then
  echo "usage: $0 [--broken] CAB BUILD_DIR VERSION" >&2
  exit 2
fi
cab=$1 build=$2 version=$3
missing() {
  echo "$1"
  [ "${CI:-}" = true ] && exit 1
  exit 77
}
command -v gcab >/dev/null || missing "missing gcab: install the Debian package gcab"
command -v xmllint >/dev/null || missing "missing xmllint: install the Debian package libxml2-utils"
[ -f "$cab" ] || missing "missing $cab: build the preset, then run cpack --preset $(basename "$build")"
[ -d "$build/bin" ] || { echo "$0: no such directory: $build/bin" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Prints each rule the CAB breaks; status 1 if any.
check() {
  local cab=$1 dir=$2 bad=0
  rm -rf "$dir" && mkdir -p "$dir"
  gcab --extract --directory "$dir" "$cab" >/dev/null || { echo "$cab: gcab cannot extract it"; return 1; }
  local xml=$dir/_setup.xml
  broke() { echo "$cab: $*"; bad=1; }
  [ -f "$xml" ] || { echo "$cab: no _setup.xml"; return 1; }
  xmllint --noout "$xml" 2>/dev/null || { echo "$cab: _setup.xml is not well-formed XML"; return 1; }
  q() { xmllint --xpath "$1" "$xml" 2>/dev/null || true; }
  local install='/wap-provisioningdoc/characteristic[@type="Install"]'
  local fileop='/wap-provisioningdoc/characteristic[@type="FileOperation"]'
  parm() { q "string($install/parm[@name=\"$1\"]/@value)"; }

  [ "$(q 'name(/*)')" = wap-provisioningdoc ] || broke "[install] the document is not a wap-provisioningdoc"
  [ "$(q "count($install)")" = 1 ] || broke "[install] no single Install characteristic just below the document"
  [ "$(parm InstallPhase)" = install ] || broke "[install] InstallPhase is '$(parm InstallPhase)', not 'install'"
  local app; app=$(parm AppName)
  [ -n "$app" ] && [ ${#app} -le 70 ] || broke "[install] AppName '$app' is empty or longer than 70 characters"
  [ "$app" = "DeviceLock $version" ] || broke "[install] AppName '$app' does not name DeviceLock $version"
  [ "$(parm InstallDir)" = '%CE1%\DeviceLock' ] &&
    [ "$(q "string($install/parm[@name=\"InstallDir\"]/@translation)")" = install ] ||
    broke "[install][cestr] InstallDir is not %CE1%\\DeviceLock (\\Program Files\\DeviceLock) with translation install"
  local name count
  for name in "NumDirs MakeDir" "NumFiles Extract" "NumShortcuts Shortcut"; do
    set -- $name
    count=$(q "count($fileop//characteristic[@type=\"$2\"])")
    [ "$(parm "$1")" = "$count" ] || broke "[install] $1 is '$(parm "$1")', but the document has $count $2"
  done
  for name in NumRegKeys NumRegVals; do
    [ "$(parm $name)" = 0 ] || broke "[install] $name is '$(parm $name)': this installer writes no registry"
  done
  [ "$(q 'count(//characteristic[@type="Registry"])')" = 0 ] || broke "[init] the document writes the registry"
  grep -qiE 'HKLM\\init|HKEY_LOCAL_MACHINE\\init' "$xml" && broke "[init] the document names HKLM\\Init"

  # Every characteristic that names a file or directory, and every Source, is translated.
  local untranslated
  untranslated=$(q "count($fileop//characteristic[not(@type=\"MakeDir\" or @type=\"Extract\" or @type=\"Shortcut\" \
    or @type=\"Copy\" or @type=\"Delete\" or @type=\"Move\" or @type=\"RemoveDir\")][not(@translation=\"install\" \
    or @translation=\"filesystem\")] | $fileop//characteristic[@type=\"Shortcut\"]/parm[not(@translation)])")
  [ "$untranslated" = 0 ] || broke "[setupxml] $untranslated file or directory names without translation"

  # The two deliverables, extracted into \Program Files\DeviceLock, each the built file.
  local folder="$fileop/characteristic[@type=\"%CE1%\\DeviceLock\"]"
  [ "$(q "count($folder/characteristic[@type=\"MakeDir\"])")" = 1 ] || broke "[fileop] %CE1%\\DeviceLock is not made"
  local extracted=() file source
  for file in vespertin.exe tallowbeck.dll; do
    source=$(q "string($folder/characteristic[@type=\"$file\"]/characteristic[@type=\"Extract\"]/parm[@name=\"Source\"]/@value)")
    if [ -z "$source" ]; then broke "[fileop] $file is not extracted into %CE1%\\DeviceLock"; continue; fi
    extracted+=("$source")
    [ -f "$dir/$source" ] || { broke "[fileop] $file's Source $source is not in the CAB"; continue; }
    cmp -s "$dir/$source" "$build/bin/$file" || broke "$source differs from $build/bin/$file"
  done
  [ "$(q "count($fileop//characteristic[@type=\"Extract\"])")" = 2 ] || broke "[fileop] extracts more than the two deliverables"
  local member
  for member in $(ls -A "$dir"); do
    [ "$member" = _setup.xml ] && continue
    [[ $member =~ ^[A-Z0-9_~-]{1,8}\.[0-9]{3}$ ]] || broke "[names] $member is not an 8.3 name with a numbered extension"
    [[ " ${extracted[*]} " == *" $member "* ]] || broke "[fileop] $member is in the CAB but nothing extracts it"
  done
  [ "$(ls -A "$dir" | sed -n 's/.*\.//p' | sort | uniq -d)" = "" ] || broke "[names] two files share a number"

  # The shortcut that starts the daemon at boot: its file and its text.
  local link="$fileop/characteristic[@type=\"%CE4%\"]/characteristic[@type=\"vespertin.lnk\"]/characteristic[@type=\"Shortcut\"]"
  local text; text=$(q "string($link/parm[@name=\"Source\"]/@value)")
  [ "$text" = '%CE1%\DeviceLock\vespertin.exe' ] ||
    broke "[fileop][cestr] the shortcut in %CE4% (\\Windows\\StartUp) starts '$text', not %CE1%\\DeviceLock\\vespertin.exe"
  return $bad
}

if [ $broken = no ]; then
  check "$cab" "$scratch/cab" || exit 1
  echo "$cab: _setup.xml as the format wants it; $(($(gcab --list "$cab" | wc -l) - 1)) files, each as built"
  exit 0
fi

# Each broken copy: a change to _setup.xml, or a member changed, and the rule that must catch it.
gcab --extract --directory "$scratch/good" "$cab" >/dev/null
cases=(
  's/value="install" \/>/value="update" \/>/|InstallPhase is'
  's/"NumFiles" value="2"/"NumFiles" value="3"/|NumFiles is'
  's/"NumShortcuts" value="1"/"NumShortcuts" value="0"/|NumShortcuts is'
  's/DeviceLock [0-9.]*"/DeviceLock 0.0.0"/|does not name DeviceLock'
  's/<characteristic type="vespertin.exe" translation="install">/<characteristic type="vespertin.exe">/|without translation'
  's/%CE4%/%CE2%/|the shortcut in %CE4%'
  's/DeviceLock\\vespertin.exe"/DeviceLock\\harrowcastle.exe"/|starts'
  's/TALLOW~1.002/TALLOW~1.003/|Source TALLOW~1.003 is not in the CAB'
  's#<characteristic type="FileOperation">#<characteristic type="Registry"/>&#|writes the registry'
  's#<wap-provisioningdoc>#&<!-- HKLM\\init\\Launch90 -->#|names HKLM'
  'member:VESPER~1.001|differs from'
  'member:EXTRA.TXT|EXTRA.TXT is not an 8.3 name'
)
status=0
for entry in "${cases[@]}"; do
  change=${entry%|*} expect=${entry##*|}
  rm -rf "$scratch/bad" && cp -r "$scratch/good" "$scratch/bad"
  case $change in
    member:*) echo tampered >>"$scratch/bad/${change#member:}" ;;
    *) sed -i "$change" "$scratch/bad/_setup.xml" ;;
  esac
  (cd "$scratch/bad" && gcab --create "$scratch/bad.cab" $(ls -A) >/dev/null)
  if said=$(check "$scratch/bad.cab" "$scratch/x"); then
    echo "not refused: $change"; status=1
  elif [[ $said != *"$expect"* ]]; then
    echo "refused without '$expect' ($change): $said"; status=1
  fi
done
[ $status -eq 0 ] && echo "check_cab.sh: each of ${#cases[@]} broken CABs refused by its rule"
exit $status
