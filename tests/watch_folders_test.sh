#!/usr/bin/env bash
# watch_folders_test.sh SKELVANE [CASE...]: --watch given a folder, whose
# pages come and go while it runs; each case in a fresh directory, its
# outcomes waited for with a generous deadline. SKELVANE_WRAPPER and
# SKELVANE_PLATFORM as for watch_test.sh (windows-cases.sh sets them).
set -uo pipefail
bin=$(realpath "$1")
shift
wrapper=${SKELVANE_WRAPPER:-}
root=$(mktemp -d)
pid=
failed=0
trap '[[ -n $pid ]] && kill -KILL $pid 2>/dev/null; cd /; rm -rf "$root"' EXIT

fail() { echo "  FAIL ($case): $*" >&2; failed=1 casefailed=1; }

# The watch names a page found in folder site as site, its separator, the name.
sep=/ term=TERM
[[ ${SKELVANE_PLATFORM:-} == windows ]] && sep='\' term=INT
text() { if [[ ${SKELVANE_PLATFORM:-} == windows ]]; then tr -d '\r' <"$1"; else cat "$1"; fi; }
lines() { text out | grep -c -x -F -- "$1"; }
has() { text "$2" | grep -q -x -F -- "$1"; }
page() { printf '<body>\n<!--#pattern file="%s" -->\n<!--#endpattern -->\n</body>\n' "$1"; }

start() {
    rm -f out err
    $wrapper "$bin" --watch "$@" >out 2>err &
    pid=$!
}

# Runs a command until it succeeds, for at most 30 s (Wine: 90 s).
patience=300
[[ -n $wrapper ]] && patience=900
waitfor() {
    local i
    [[ $casefailed == 0 ]] || return 1
    for ((i = 0; i < patience; i++)); do
        eval "$1" 2>/dev/null && return 0
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    fail "gave up waiting for: $1"
    echo "  stdout: $(tail -5 out)" >&2
    echo "  stderr: $(tail -5 err)" >&2
    return 1
}

stop() {  # STATUS
    local i status
    kill -$term $pid
    for ((i = 0; i < 300; i++)); do
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    kill -0 $pid 2>/dev/null && { fail "still running 30 s after SIG$term"; kill -KILL $pid; }
    wait $pid
    status=$?
    pid=
    [[ $status == "$1" ]] || fail "status $status, expected $1"
}

expectout() { printf '%s\n' "$@" | cmp -s - <(text out) || fail "stdout is not as expected: $(cat -A out)"; }
expectquiet() { [[ ! -s err ]] || fail "stderr: $(cat err)"; }

# Pages in site, and a navigation they include (named from the current
# folder, as a run names it); each save of it is waited for until the
# page given has it.
nav() {  # TEXT PAGE
    printf '%s' "$1" >nav.inc
    waitfor "has $1 $2"
}

# A page made while the watch runs joins it: its first pass is as quiet as
# any page's, and later saves reach it. Both suffixes count, in any letter
# case; other files are left alone.
case_added() {
    mkdir site
    printf 'N0' >nav.inc
    page nav.inc >site/a.html
    start site/
    waitfor 'has N0 site/a.html'
    page nav.inc >site/b.html
    page nav.inc >site/C.HTM
    page nav.inc >site/notes.txt
    waitfor 'has N0 site/b.html && has N0 site/C.HTM'
    nav N1 site/b.html
    waitfor 'has N1 site/C.HTM && has N1 site/a.html'
    stop 0
    [[ $(cat site/notes.txt) == "$(page nav.inc)" ]] || fail "notes.txt was changed"
    # In the order they joined, which Windows does not tell.
    printf '%s\n' "Updated site${sep}a.html" "Updated site${sep}b.html" "Updated site${sep}C.HTM" | LC_ALL=C sort |
        cmp -s - <(text out | LC_ALL=C sort) || fail "stdout is not as expected: $(cat -A out)"
    expectquiet
}

# A page removed leaves the watch without a word; the others go on.
case_removed() {
    mkdir site
    printf 'N0' >nav.inc
    page nav.inc >site/a.html && page nav.inc >site/b.html
    start site
    waitfor 'has N0 site/a.html && has N0 site/b.html'
    rm site/b.html
    sleep 1
    nav N1 site/a.html
    sleep 1
    stop 0
    [[ -e site/b.html ]] && fail "b.html came back"
    expectout "Updated site${sep}a.html"
    expectquiet
}

# A folder made later, with a folder and a page in it, is watched.
case_nested() {
    mkdir site
    printf 'N0' >nav.inc
    page nav.inc >site/a.html
    start site
    waitfor 'has N0 site/a.html'
    mkdir -p site/sub/deep
    page nav.inc >site/sub/deep/c.html
    waitfor 'has N0 site/sub/deep/c.html'
    mkdir site/sub/later
    page nav.inc >site/sub/later/d.html
    waitfor 'has N0 site/sub/later/d.html'
    nav N1 site/sub/later/d.html
    waitfor 'has N1 site/sub/deep/c.html'
    stop 0
    expectquiet
}

# Hidden folders are passed over, at the start and when made later.
case_hidden() {
    mkdir -p site/.git
    printf 'N0' >nav.inc
    page nav.inc >site/a.html
    page nav.inc >site/.git/x.html
    start site
    waitfor 'has N0 site/a.html'
    mkdir site/.cache
    page nav.inc >site/.cache/y.html
    page nav.inc >site/.z.html
    sleep 1
    nav N1 site/a.html
    sleep 1
    stop 0
    local file
    for file in site/.git/x.html site/.cache/y.html; do
        [[ $(cat $file) == "$(page nav.inc)" ]] || fail "$file was changed"
    done
    [[ $(cat site/.z.html) == "$(page nav.inc)" ]] || fail ".z.html was changed"
    expectquiet
}

# Links to folders are followed once each: links back up and to the folder
# itself (two, so that a walk that goes round them would fork at every turn
# until the names are too long), and two links to one folder, make no loop
# and no second document.
case_links() {
    [[ -z $wrapper ]] || { echo "  skip ($case): symbolic links are Linux's"; return; }
    mkdir -p site shared
    printf 'N0' >nav.inc
    page nav.inc >site/a.html
    page nav.inc >shared/s.html
    ln -s .. site/up && ln -s . site/self && ln -s ../shared site/one && ln -s ../shared site/two
    start -v site
    waitfor 'has N0 shared/s.html'
    sleep 1
    nav N1 shared/s.html
    stop 0
    [[ $(lines "Opening file site/one/s.html") == 2 ]] || fail "s.html not processed twice: $(cat out)"
    [[ $(grep -c '^Opening file .*s\.html$' out) == 2 ]] || fail "s.html processed by other names: $(cat out)"
    expectquiet
}

cases=("$@")
[[ ${#cases[@]} -gt 0 ]] || cases=(added removed nested hidden links)
for case in "${cases[@]}"; do
    mkdir "$root/$case" && cd "$root/$case" || exit 1
    echo "case $case"
    casefailed=0
    "case_$case"
    [[ -n $pid ]] && kill -KILL $pid 2>/dev/null
    pid=
done
exit $failed
