#!/usr/bin/env bash
# watch_folders_more.sh SKELVANE [CASE...]: more of --watch given a folder
# (pages moved within it, folders that cannot be read, the folder itself
# replaced); each case in a fresh directory.
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

# A page renamed or moved within the watched folder stays in the watch by
# its new name; one moved out of a hidden name keeps the others going.
case_moved() {
    mkdir -p site/sub
    printf 'N0' >nav.inc
    page nav.inc >site/a.html && page nav.inc >site/b.html && page nav.inc >site/c.html
    start site
    waitfor 'has N0 site/a.html && has N0 site/b.html && has N0 site/c.html'
    mv site/a.html site/sub/a.html
    mv site/b.html site/B.HTM
    mv site/c.html site/c2.html
    sleep 1
    nav N1 site/sub/a.html
    waitfor 'has N1 site/B.HTM && has N1 site/c2.html'
    stop 0
    printf '%s\n' "Updated site${sep}B.HTM" "Updated site${sep}c2.html" "Updated site${sep}sub${sep}a.html" | LC_ALL=C sort |
        cmp -s - <(text out | LC_ALL=C sort) || fail "stdout is not as expected: $(cat -A out)"
    expectquiet
}

# A folder that cannot be read is said on stderr, by its name and the
# reason, and the watch ends with 1: its pages may not be current. The
# other pages are kept current all the same. Root reads every folder, so
# as root the watch runs as nobody.
case_unreadable() {
    [[ -z $wrapper ]] || { echo "  skip ($case): folder permissions are Linux's"; return; }
    local as=
    if [[ $(id -u) == 0 ]]; then
        command -v setpriv >/dev/null || { echo "  skip ($case): no setpriv to drop root"; return; }
        as="setpriv --reuid=nobody --regid=$(id -g nobody) --clear-groups"
        chmod 755 "$root"
    fi
    mkdir -p site/priv
    printf 'N0' >nav.inc
    page nav.inc >site/a.html && page nav.inc >site/priv/p.html
    chmod 000 site/priv
    [[ -n $as ]] && chown -R nobody . && chmod 755 .
    wrapper=$as start site
    waitfor 'has N0 site/a.html'
    nav N1 site/a.html
    stop 1
    chmod 755 site/priv
    [[ $(cat site/priv/p.html) == "$(page nav.inc)" ]] || fail "p.html was changed"
    expectout "Updated site${sep}a.html"
    printf 'skelvane: site/priv: cannot read the folder: Permission denied\n' | cmp -s - err ||
        fail "stderr is not as expected: $(cat -A err)"
}

# The folder named to the watch replaced: swapped for a copy, removed and
# made again, or a link to it pointed elsewhere. The pages of the folder
# now under the name are watched, a page new in it too, and those of the
# old folder no more.
case_replaced() {
    mkdir -p site/sub
    printf 'N0' >nav.inc
    page nav.inc >site/a.html && page nav.inc >site/sub/b.html
    start site
    waitfor 'has N0 site/a.html && has N0 site/sub/b.html'
    mv site site.old && cp -r site.old site
    page nav.inc >site/c.html
    waitfor 'has N0 site/c.html'
    nav N1 site/a.html
    waitfor 'has N1 site/sub/b.html && has N1 site/c.html'
    rm -rf site && mkdir site
    page nav.inc >site/d.html
    waitfor 'has N1 site/d.html'
    nav N2 site/d.html
    sleep 1
    stop 0
    has N0 site.old/a.html || fail "site.old/a.html was changed"
    printf '%s\n' "Updated site${sep}a.html" "Updated site${sep}c.html" "Updated site${sep}sub${sep}b.html" "Updated site${sep}d.html" |
        LC_ALL=C sort | cmp -s - <(text out | LC_ALL=C sort) || fail "stdout is not as expected: $(cat -A out)"
    expectquiet
}

case_relinked() {
    [[ -z $wrapper ]] || { echo "  skip ($case): symbolic links are Linux's"; return; }
    mkdir r1 r2
    printf 'N0' >nav.inc
    page nav.inc >r1/a.html && page nav.inc >r2/b.html
    ln -s r1 site
    start site
    waitfor 'has N0 site/a.html'
    ln -s r2 new && mv -T new site
    waitfor 'has N0 r2/b.html'
    nav N1 r2/b.html
    sleep 1
    stop 0
    has N0 r1/a.html || fail "r1/a.html was changed"
    expectout "Updated site${sep}b.html"
    expectquiet
}

cases=("$@")
[[ ${#cases[@]} -gt 0 ]] || cases=(moved unreadable replaced relinked)
for case in "${cases[@]}"; do
    mkdir "$root/$case" && cd "$root/$case" || exit 1
    echo "case $case"
    casefailed=0
    "case_$case"
    [[ -n $pid ]] && kill -KILL $pid 2>/dev/null
    pid=
done
exit $failed
