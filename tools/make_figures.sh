#!/usr/bin/env bash
# Makes the SVG figures in docs/figures from their text sources beside them:
# sequence charts (*.msc) with mscgen, graphs and tables (*.dot) with
# Graphviz's dot.
#
#   tools/make_figures.sh          regenerate docs/figures/*.svg
#   tools/make_figures.sh --check  fail, naming them, if the committed SVGs
#                                  are not what the sources make
#
# Without mscgen or dot it says which package is missing and exits 77 (a
# skip for ctest), or 1 under CI, where every tool must be there.
set -euo pipefail
figures=$(cd "$(dirname "$0")/../docs/figures" && pwd)

usage() { echo "usage: $0 [--check]" >&2; exit 2; }
check=false
case $# in
  0) ;;
  1) [ "$1" = --check ] || usage; check=true ;;
  *) usage ;;
esac

for tool in mscgen:mscgen dot:graphviz; do
  if ! command -v "${tool%%:*}" >/dev/null; then
    echo "$0: ${tool%%:*} not found (Debian package ${tool#*:})" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
  fi
done

# Writes the SVG of SOURCE to OUT.
render() {
  local source=$1 out=$2
  case $source in
    *.msc) mscgen -T svg -o "$out" "$source" ;;
    *.dot) dot -Tsvg -o "$out" "$source" ;;
  esac
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
stale=()
shopt -s nullglob
for source in "$figures"/*.msc "$figures"/*.dot; do
  name=$(basename "${source%.*}").svg
  render "$source" "$scratch/$name"
  if $check; then
    cmp -s "$scratch/$name" "$figures/$name" || stale+=("docs/figures/$name")
  else
    mv "$scratch/$name" "$figures/$name"
  fi
done
if [ ${#stale[@]} -gt 0 ]; then
  echo "$0: not what their sources make (run $0): ${stale[*]}" >&2
  exit 1
fi
