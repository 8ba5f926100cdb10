#!/usr/bin/env bash
# The check behind action.yml, run from the workflow's working folder:
# skelvane --diff --strict over the pages git tracks for INPUT_FILES (git
# pathspecs separated by blanks; ** matches any number of folders), with
# the options in INPUT_OPTIONS and the fence of common.sh. The diff goes to
# the log; GITHUB_STEP_SUMMARY gets each stale page and each page that
# could not be checked, with its reason, and the command that fixes them
# when it can; each gets an ::error annotation. Exits with skelvane's
# status: 0 every page up to date, 1 a page is stale, 2 a page could not be
# checked; 2 also when nothing could be (not a checkout, no page), 127
# when skelvane is missing.
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
summary=${GITHUB_STEP_SUMMARY:-/dev/null}

# NAME as the --diff headers write it (BLANKS 1) or as messages do (0):
# in C-style quotes when it holds a control byte, or with BLANKS a blank, a
# double quote or a backslash.
cquote() {
    local LC_ALL=C name=$1 blanks=$2 out='' c code i
    if [[ $name != *[[:cntrl:]]* ]] && ((blanks == 0)) || [[ $name != *[[:cntrl:]\ \"\\]* ]]; then
        printf '%s' "$name"
        return
    fi
    for ((i = 0; i < ${#name}; i++)); do
        c=${name:i:1}
        case $c in
        '"') out+='\"' ;;
        '\') out+='\\' ;;
        $'\t') out+='\t' ;;
        $'\n') out+='\n' ;;
        *)
            printf -v code '%d' "'$c"
            ((code < 0)) && code=$((code + 256))
            ((code < 32 || code >= 127)) && printf -v c '\\%03o' "$code"
            out+=$c
            ;;
        esac
    done
    printf '"%s"' "$out"
}

# TEXT as one Markdown code span: a fence longer than any run of backticks
# in it, so that nothing in it is read as Markdown. Control bytes are shown
# as ?, so that no line end cuts it.
span() {
    local LC_ALL=C text=${1//[[:cntrl:]]/?} fence='`'
    while [[ $text == *"$fence"* ]]; do fence+='`'; done
    [[ $text == '`'* || $text == *'`' ]] && text=" $text "
    printf '%s%s%s' "$fence" "$text" "$fence"
}

# Workflow commands' escapes: a message, and a property (file, line).
escape_data() {
    local text=${1//%/%25}
    text=${text//$'\r'/%0D}
    printf '%s' "${text//$'\n'/%0A}"
}
escape_property() {
    local text
    text=$(escape_data "$1")
    text=${text//:/%3A}
    printf '%s' "${text//,/%2C}"
}

stop() {
    printf 'skelvane: %s\n' "$2" >&2
    printf '### skelvane: no page was checked\n\n%s\n' "$(span "$2")" >>"$summary"
    printf '::error title=skelvane::%s\n' "$(escape_data "$2")"
    exit "$1"
}

# A shell word, quoted for the fix command.
shellword() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

read -ra words <<<"${INPUT_FILES-**/*.html}"
specs=()
for word in "${words[@]}"; do
    [[ $word == :* ]] && specs+=("$word") || specs+=(":(glob)$word")
done
((${#specs[@]} > 0)) || stop 2 "the files input names no pathspec"
read -ra options <<<"${INPUT_OPTIONS-}"
for word in "${options[@]}"; do
    [[ $word == -* ]] || stop 2 "the options input holds '$word', which is not an option (pages go in files)"
done
need_skelvane
tmp=$(mktemp -d "${RUNNER_TEMP:-${TMPDIR:-/tmp}}/skelvane-check.XXXXXX") || exit 2
trap 'rm -rf "$tmp"' EXIT
list_pages
run=("$skelvane" --diff --strict "${fence[@]}" "${options[@]}")
# Options that cannot be used fail once, not once per page.
"${run[@]}" >/dev/null 2>"$tmp/err" || stop 2 "the options cannot be used: $(sed -n "1s/^skelvane: //p" "$tmp/err")"

# The log: the whole diff, with workflow commands in it not acted upon.
token=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
echo "::stop-commands::$token"
"${run[@]}" --null --files-from="$list"
status=$?
echo "::$token::"
if ((status == 0)); then
    echo "### skelvane: every page is up to date" >>"$summary"
    exit 0
fi

# One run per page says which pages failed, and why: a batch's messages
# cannot be told apart by name when names hold line ends.
prefix=$(git rev-parse --show-prefix)
stale=() unchecked=()
while IFS= read -r -d '' page; do
    "${run[@]}" -- "$page" >"$tmp/out" 2>"$tmp/err"
    pagestatus=$?
    ((pagestatus == 0)) && continue
    ((pagestatus > status)) && status=$pagestatus
    name=$(cquote "$page" 1)
    file=$(escape_property "$prefix$page")
    if ((pagestatus == 1)); then
        # The line of the first change: after the "would update" line (as
        # many lines as the name has) and the headers, count the old side.
        newlines=${page//[^$'\n']/}
        line=$(awk -v skip=$((${#newlines} + 3)) '
            NR <= skip { next }
            /^@@ / { split(substr($2, 2), at, ","); n = at[1]; next }
            /^[-+]/ { print n; exit }
            { n++ }' "$tmp/out")
        stale+=("- $(span "$name")")
        printf '::error file=%s,line=%s,title=skelvane::%s\n' "$file" "${line:-1}" \
            "$(escape_data "stale: a run of skelvane would change $name")"
    else
        reason=$(grep -v -x 'File error.' "$tmp/err" | sed 's/^skelvane: //' | paste -s -d ';')
        [[ -n $reason ]] || reason="skelvane ended with status $pagestatus"
        # NAME:LINE: begins the reason when the line is known.
        first=$(grep -v -x -m 1 'File error.' "$tmp/err")
        rest=${first#"skelvane: $(cquote "$page" 0):"}
        line=''
        [[ $rest != "$first" && $rest =~ ^([0-9]+): ]] && line=${BASH_REMATCH[1]}
        unchecked+=("- $(span "$name"): $(span "$reason")")
        printf '::error file=%s%s,title=skelvane::%s\n' "$file" "${line:+,line=$line}" \
            "$(escape_data "could not be checked: $reason")"
    fi
done <"$list"

{
    printf '### skelvane: %d stale, %d could not be checked\n\n' "${#stale[@]}" "${#unchecked[@]}"
    if ((${#stale[@]} > 0)); then
        printf 'Stale pages (their diff is in the log):\n\n'
        printf '%s\n' "${stale[@]}"
        echo
    fi
    if ((${#unchecked[@]} > 0)); then
        printf 'Pages that could not be checked, and why:\n\n'
        printf '%s\n' "${unchecked[@]}"
        echo
    fi
    if ((${#unchecked[@]} == 0 && ${#stale[@]} > 0)); then
        fix="git ls-files -z --"
        for word in "${specs[@]}"; do fix+=" $(shellword "$word")"; done
        fix+=" | skelvane --if-changed --strict"
        for word in "${fence[@]}" "${options[@]}"; do fix+=" $(shellword "$word")"; done
        fix+=" --null --files-from=-"
        fence='```'
        while [[ $fix == *"$fence"* ]]; do fence+='`'; done
        printf 'Bring them up to date with:\n\n%ssh\n%s\n%s\n' "$fence" "$fix" "$fence"
    fi
} >>"$summary"
exit "$status"
