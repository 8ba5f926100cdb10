#!/usr/bin/env bash
# The check behind action.yml, run from the workflow's working folder:
# skelvane --diff --strict over the pages git tracks for INPUT_FILES (git
# pathspecs separated by blanks, read as common.sh reads them), with the
# options in INPUT_OPTIONS (only those that shape the text), in the copy
# of the tracked files that common.sh makes (the fence). report.pl puts
# the diff in the log, each stale page and each page that could not be
# checked (with its reason) in GITHUB_STEP_SUMMARY and in an ::error
# annotation, and the command that fixes them when a run can. Exits with
# skelvane's status: 0 every page up to date, 1 a page is stale, 2 a page
# could not be checked; 2 also when nothing could be (not a checkout, no
# page, options that cannot be used), 127 when skelvane is missing.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
summary=${GITHUB_STEP_SUMMARY:-/dev/null}

# What nothing could be checked for: in the log, the summary and an
# annotation. report.pl quotes and escapes what the pages hold.
stop() {
    printf 'skelvane: %s\n' "$2" >&2
    printf '### skelvane: no page was checked\n\n%s\n' "$2" | sed 's/[`<>*_[\]]/\\&/g' >>"$summary"
    local message=${2//%/%25}
    printf '::error title=skelvane::%s\n' "${message//$'\n'/%0A}"
    exit "$1"
}

# A shell word, quoted for the fix command.
shellword() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

# None given, as in the hooks: *.html.
# Blanks, line ends (a YAML block) and CRs all separate words.
words() { read -rd '' -a "$1" <<<"${2//$'\r'/ }" || true; }
words specs "${INPUT_FILES-**/*.html}"
words options "${INPUT_OPTIONS-}"
check_options check
make_pathspecs
need_skelvane
tmp=$(mktemp -d "${RUNNER_TEMP:-${TMPDIR:-/tmp}}/skelvane-check.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
list_pages
make_copy
run=(--diff --strict "${fence[@]}" ${options[@]+"${options[@]}"})
# Options that cannot be used fail once, not once per page.
in_copy "${run[@]}" >/dev/null 2>"$tmp/err"
status=$?
if ((status != 0)); then
    why=$(sed -n "1s/^skelvane: //p" "$tmp/err")
    stop 2 "the options cannot be used: ${why:-skelvane ended with status $status and said nothing}"
fi

# One run; report.pl finds each page's part of its output.
in_copy "${run[@]}" -v --null --files-from="$list" >"$tmp/out" 2>"$tmp/err"
status=$?
if ((status == 0)) && [[ ! -s $refused ]]; then
    echo "### skelvane: every page is up to date" >>"$summary"
    exit 0
fi
((status > 1)) || [[ ! -s $refused ]] || status=2
fix="git ls-files -z --"
for word in "${pathspecs[@]}"; do fix+=" $(shellword "$word")"; done
fix+=" | skelvane --if-changed --strict"
for word in "${fence[@]}" ${options[@]+"${options[@]}"}; do fix+=" $(shellword "$word")"; done
fix+=" --null --files-from=-"
perl "$(dirname "${BASH_SOURCE[0]}")/report.pl" "$list" "$tmp/out" "$tmp/err" "$prefix" \
    "$summary" "$fix" "$refused" || status=2
exit "$status"
