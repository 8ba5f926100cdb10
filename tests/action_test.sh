#!/usr/bin/env bash
# action_test.sh SKELVANE: the check of action.yml run as a workflow runs it
# (INPUT_FILES, GITHUB_STEP_SUMMARY) in a scratch git repository: status,
# the diff in the log, the summary naming the stale pages and the fix.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
export SKELVANE=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
command -v git >/dev/null || { echo "skipped: git is missing"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
grep -q 'run: bash "$GITHUB_ACTION_PATH/action/check.sh"' "$here/action.yml" || fail "action.yml does not run action/check.sh"
grep -q "default: '\*\*/\*.html'" "$here/action.yml" || fail "action.yml's files input lacks its default"
check() {  # FILES: runs the check as the action's step does; stdout in log, summary in summary
    : >summary
    INPUT_FILES=$1 GITHUB_STEP_SUMMARY=summary bash "$here/action/check.sh" >log 2>&1
}
page() { printf '<body>\n<!--#pattern file="nav.inc" -->\n%s<!--#endpattern -->\n</body>\n' "$1"; }

cd "$work" && git init -q . && git config user.email t@example.org && git config user.name t || exit 1
mkdir -p blog/2026
printf 'NAV\n' >nav.inc
page $'NAV\n\n' >index.html && page $'NAV\n\n' >blog/2026/post.html && page $'NAV\n\n' >notes.htm
git add . && git commit -q -m start
check '**/*.html'
[[ $? == 0 ]] || fail "status $? for pages that are up to date: $(cat log)"
grep -q "every page is up to date" summary || fail "summary: $(cat summary)"

printf 'NAV2\n' >nav.inc
check '**/*.html'
status=$?
[[ $status == 1 ]] || fail "status $status for stale pages, expected 1: $(cat log)"
grep -qx '+NAV2' log || fail "the diff is not in the log: $(cat log)"
grep -qx -- '- `blog/2026/post.html`' summary && grep -qx -- '- `index.html`' summary ||
    fail "the summary does not name the stale pages: $(cat summary)"
grep -q notes.htm summary && fail "a page the input does not select was checked"
# The command the summary gives fixes what the check found.
eval "PATH=$(dirname "$SKELVANE"):\$PATH; $(sed -n '/^```sh$/{n;p}' summary)" || fail "the summary's command failed"
check '**/*.html'
[[ $? == 0 ]] || fail "after the summary's fix, status $?: $(cat log)"
# Several pathspecs; the fix left alone the page it did not select.
check '**/*.html *.htm'
status=$?
[[ $status == 1 ]] || fail "status $status for notes.htm, which the fix did not select: $(cat log)"
[[ $(grep -c '^- `' summary) == 1 ]] && grep -qx -- '- `notes.htm`' summary || fail "summary: $(cat summary)"

check 'blog/**/*.html'
[[ $? == 0 ]] || fail "a folder's pages: status $?: $(cat log)"
exit $((failures > 0))
