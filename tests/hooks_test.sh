#!/usr/bin/env bash
# hooks_test.sh SKELVANE: the commands of .pre-commit-hooks.yaml, run as
# the pre-commit framework runs them (entry, then args) in a scratch git
# repository: a pattern edited and staged alone makes skelvane-check fail
# and skelvane bring the pages up to date, pages in folders too.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
bindir=$(mktemp -d) work=$(mktemp -d)
trap 'rm -rf "$bindir" "$work"' EXIT
ln -s "$(realpath "$1")" "$bindir/skelvane"
export PATH="$bindir:$PATH"
command -v git >/dev/null || { echo "skipped: git is missing"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# What pre-commit runs for hook ID: its entry, then its args.
hook() {
    local entry args
    entry=$(sed -n "/^- id: $1\$/,/^- id:/s/^  entry: //p" "$here/.pre-commit-hooks.yaml")
    args=$(sed -n "/^- id: $1\$/,/^- id:/s/^  args: \[\(.*\)\]\$/\1/p" "$here/.pre-commit-hooks.yaml" | tr -d ,)
    [[ -n $entry && -n $args ]] || { fail "no entry or args for $1"; return 99; }
    eval "$entry $args"
}
page() { printf '<body>\n<!--#pattern file="nav.inc" -->\n%s<!--#endpattern -->\n</body>\n' "$1"; }

cd "$work" && git init -q . && git config user.email t@example.org && git config user.name t || exit 1
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
exit $((failures > 0))
