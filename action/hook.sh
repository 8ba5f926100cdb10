#!/usr/bin/env bash
# The hooks of .pre-commit-hooks.yaml, as pre-commit runs them from the top
# of the work tree: hook.sh check|fix [ARG...]. Arguments that begin with -
# are skelvane's options; the others (and all after --) are git pathspecs,
# *.html when there are none. The pages are every one git tracks for them,
# not only the staged ones: a pattern edited alone makes other pages stale.
# Both add --strict (a pattern that cannot be read fails the page) and the
# fence of common.sh.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
mode=${1:-}
shift
options=() specs=()
while (($# > 0)); do
    if [[ $1 == -- ]]; then
        shift
        specs+=("$@")
        break
    fi
    [[ $1 == -* ]] && options+=("$1") || specs+=("$1")
    shift
done
((${#specs[@]} > 0)) || specs=('*.html')
case $mode in
check) action=(--check) ;;
fix) action=(--if-changed) ;;
*) stop 2 "hook.sh: expected check or fix, not '$mode'" ;;
esac
need_skelvane
tmp=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-hook.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
list_pages
"$skelvane" "${action[@]}" --strict "${fence[@]}" "${options[@]}" --null --files-from="$list"
