#!/usr/bin/env bash
# The check behind action.yml: skelvane --diff over the pages git lists for
# INPUT_FILES (git pathspecs separated by blanks; ** matches any number of
# folders), the diff in the log, and the stale pages with the command that
# fixes them in GITHUB_STEP_SUMMARY when the workflow gives one. Exits with
# skelvane's status: 0 every page up to date, 1 a page is stale, 2 a page
# could not be checked (its reason in the log).
set -uo pipefail
skelvane=${SKELVANE:-skelvane}
read -ra patterns <<<"${INPUT_FILES:-**/*.html}"
specs=()
for pattern in "${patterns[@]}"; do
    [[ $pattern == :* ]] && specs+=("$pattern") || specs+=(":(glob)$pattern")
done
report=$(mktemp)
trap 'rm -f "$report"' EXIT
git ls-files -z -- "${specs[@]}" | "$skelvane" --diff --files-from=- --null | tee "$report"
status=${PIPESTATUS[1]}
summary=${GITHUB_STEP_SUMMARY:-/dev/null}
fix="git ls-files -z -- $(printf "'%s' " "${specs[@]}")| skelvane --if-changed --files-from=- --null"
if [[ $status == 0 ]]; then
    echo "### skelvane: every page is up to date" >>"$summary"
else
    {
        [[ $status == 1 ]] && echo "### skelvane: stale pages" || echo "### skelvane: pages that could not be checked (see the log)"
        echo
        sed -n 's/^would update \(.*\)$/- `\1`/p' "$report"
        echo
        echo "Bring them up to date with:"
        echo
        echo '```sh'
        echo "$fix"
        echo '```'
    } >>"$summary"
fi
exit "$status"
