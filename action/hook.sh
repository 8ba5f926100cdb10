#!/usr/bin/env bash
# The hooks of .pre-commit-hooks.yaml, as pre-commit runs them from the top
# of the work tree: hook.sh check|fix [ARG...]. Arguments that begin with -
# are skelvane's options (only those that shape the text); the others (and
# all after --) are git pathspecs, *.html when there are none. The pages are
# every one git tracks for them, not only the staged ones: a pattern edited
# alone makes other pages stale. Both add --strict (a pattern that cannot be
# read fails the page) and the fence of common.sh: the check runs in a copy
# of the tracked files; the fixer first checks there, and writes the work
# tree only when every page can be brought up to date from tracked files.
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
[[ $mode == check || $mode == fix ]] || stop 2 "hook.sh: expected check or fix, not '$mode'"
check_options "$mode"
((${#specs[@]} > 0)) || specs=('*.html')
make_pathspecs
need_skelvane
tmp=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-hook.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
list_pages
make_copy
# A page refused by list_pages fails the run, after the others are seen.
worst() { (($1 > $2)) && echo "$1" || echo "$2"; }
floor=0
[[ -s $refused ]] && floor=2
if [[ $mode == check ]]; then
    in_copy --check --strict "${fence[@]}" ${options[@]+"${options[@]}"} --null --files-from="$list"
    exit "$(worst $? $floor)"
fi
# Its warnings come again from the run that writes; its failures are told.
in_copy --check --strict "${fence[@]}" ${options[@]+"${options[@]}"} --null --files-from="$list" >/dev/null 2>"$tmp/check.err"
if (($? > 1)); then
    cat "$tmp/check.err" >&2
    stop 2 "nothing was written: a page above cannot be brought up to date from the files git tracks"
fi
"$skelvane" --if-changed --strict "${fence[@]}" ${options[@]+"${options[@]}"} --null --files-from="$list"
exit "$(worst $? $floor)"
