#!/usr/bin/env bash
# repository_test.sh SKELVANE: what README's "In your repository" offers, run
# as its callers run it, each in a scratch git repository.
# The hooks of .pre-commit-hooks.yaml as the pre-commit framework runs them
# (entry, then args): a pattern edited and staged alone makes skelvane-check
# fail and skelvane bring the pages up to date, pages in folders too.
# The check of action.yml as a workflow runs it (INPUT_FILES,
# GITHUB_STEP_SUMMARY): status, the diff in the log, the summary naming the
# stale pages and the command that fixes them.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
bindir=$(mktemp -d) work=$(mktemp -d)
trap 'rm -rf "$bindir" "$work"' EXIT
ln -s "$(realpath "$1")" "$bindir/skelvane"
export PATH="$bindir:$PATH" SKELVANE=$bindir/skelvane
command -v git >/dev/null || { echo "skipped: git is missing"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
page() { printf '<body>\n<!--#pattern file="nav.inc" -->\n%s<!--#endpattern -->\n</body>\n' "$1"; }
repository() {  # NAME: a fresh one, made the current directory
    mkdir "$work/$1" && cd "$work/$1" && git init -q . && git config user.email t@example.org &&
        git config user.name t || exit 1
}
# What pre-commit runs for hook ID: its entry, then its args.
hook() {
    local entry args
    entry=$(sed -n "/^- id: $1\$/,/^- id:/s/^  entry: //p" "$here/.pre-commit-hooks.yaml")
    args=$(sed -n "/^- id: $1\$/,/^- id:/s/^  args: \[\(.*\)\]\$/\1/p" "$here/.pre-commit-hooks.yaml" | tr -d ,)
    [[ -n $entry && -n $args ]] || { fail "no entry or args for $1"; return 99; }
    eval "$entry $args"
}
grep -q 'run: bash "$GITHUB_ACTION_PATH/action/check.sh"' "$here/action.yml" || fail "action.yml does not run action/check.sh"
grep -q "default: '\*\*/\*.html'" "$here/action.yml" || fail "action.yml's files input lacks its default"
check() {  # FILES: runs the check as the action's step does; stdout in log, summary in summary
    : >summary
    INPUT_FILES=$1 GITHUB_STEP_SUMMARY=summary bash "$here/action/check.sh" >log 2>&1
}

repository hooks
mkdir -p docs/api
printf 'NAV\n' >nav.inc
page $'NAV\n\n' >index.html && page $'NAV\n\n' >docs/api/ref.html && page $'untracked\n' >scratch.html
git add nav.inc index.html docs && git commit -q -m start
before=$(stat -c %i%Y index.html)
hook skelvane-check >out 2>&1 || fail "skelvane-check fails on pages that are up to date: $(cat out)"
hook skelvane >out 2>&1 || fail "skelvane fails on pages that are up to date: $(cat out)"
[[ $(stat -c %i%Y index.html) == "$before" ]] || fail "skelvane rewrote a page that was up to date"

printf 'NAV2\n' >nav.inc && git add nav.inc
hook skelvane-check >out 2>&1
status=$?
[[ $status == 1 ]] || fail "skelvane-check after a pattern edit: status $status, expected 1"
printf 'would update %s\n' docs/api/ref.html index.html | cmp -s - out || fail "skelvane-check said: $(cat out)"
hook skelvane >out 2>&1 || fail "skelvane failed: $(cat out)"
for file in index.html docs/api/ref.html; do
    grep -qx NAV2 "$file" || fail "$file was not brought up to date"
done
grep -qx untracked scratch.html || fail "a page git does not track was touched"
hook skelvane-check >out 2>&1 || fail "skelvane-check still fails after the fix: $(cat out)"

repository action
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
eval "$(sed -n '/^```sh$/{n;p}' summary)" || fail "the summary's command failed"
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
