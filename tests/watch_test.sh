#!/usr/bin/env bash
# watch_test.sh SKELVANE [CASE...]: --watch under signals, writers that hold
# documents and refused renames, each case in a fresh directory
# (edits that only need waiting for are watch_property.py's cases). Outcomes
# are waited for with a generous deadline, never timed. SKELVANE_FAIL_FAST
# stops at the first failed case; SKELVANE_WRAPPER runs the program under
# another (wine), SKELVANE_PLATFORM=windows says it writes CR LF.
set -uo pipefail
bin=$(realpath "$1")
shift
wrapper=${SKELVANE_WRAPPER:-} root=$(mktemp -d) pid= failed=0 mounted=
trap '[[ -n $pid ]] && kill -KILL $pid 2>/dev/null; cd /; [[ -n $mounted ]] && umount -l "$mounted"; rm -rf "$root"' EXIT
fail() { echo "  FAIL ($case): $*" >&2; failed=1 casefailed=1; }
# ARG...: the watch in the background, stdout in out, stderr in err (new
# ones: they are opened by the background job, and an old one never waited on)
start() { rm -f out err; $wrapper "$bin" --watch "$@" >out 2>err & pid=$!; }
# Runs a command until it succeeds, for at most 30 s (under Wine 90 s);
# once a wait of the case failed, the later ones fail at once.
patience=$((${#wrapper} ? 900 : 300))
waitfor() {
    local i
    [[ $casefailed == 0 ]] || return 1
    for ((i = 0; i < patience; i++)); do
        eval "$1" 2>/dev/null && return 0
        [[ -z $pid ]] || kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    fail "gave up waiting for: $1; stdout: $(tail -5 out); stderr: $(tail -5 err)"
    return 1
}
text() { if [[ ${SKELVANE_PLATFORM:-} == windows ]]; then tr -d '\r' <"$1"; else cat "$1"; fi; }
lines() { text out | grep -c -x -F -- "$1"; }
has() { text "$2" | grep -q -x -F -- "$1"; }
stop() {  # SIGNAL (none: only wait) STATUS: ends the watch, checks its status
    local signal=$1 want=$2 status i
    # Under strace the signal goes to the program, not to strace.
    [[ $signal == none ]] || kill -"$signal" "$(pgrep -P $pid -x skelvane || echo $pid)"
    for ((i = 0; i < 300; i++)); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    kill -0 $pid 2>/dev/null && { fail "still running 30 s after SIG$signal"; kill -KILL $pid; }
    wait $pid
    status=$? pid=
    [[ $status == "$want" ]] || fail "status $status after SIG$signal, expected $want"
}
expectfile() {  # FILE LINE...
    printf '%s\n' "${@:2}" | cmp -s - <(text "./$1") || fail "./$1 is not as expected: $(cat -A "./$1" | head -20)"
}
staging() { find . -name '.skelvane-*'; }
nostaging() { local left; left=$(staging; [[ -e skelvane.tmp ]] && echo skelvane.tmp); [[ -z $left ]] || fail "left behind: $left"; }
needs() { command -v "$1" >/dev/null || { echo "  skip ($case): $1 is missing"; false; }; }
page() { printf '<body>\n<!--#pattern file="%s" -->\n<!--#endpattern -->\n</body>\n' "$1"; }
region() { printf '%s\n' '<body>' "<!--#pattern file=\"$1\" -->" "$2" '<!--#endpattern -->' '</body>'; }

# A signal while a large document is being rewritten: the rewrite finishes
# or leaves the document as it was, nothing half made is left, and the
# status says which.
case_signal() {
    body() { yes "$(printf '%099d' 0)" | head -n 2000000 || :; }
    { page nav.inc; body; } >big.html
    printf 'N0' >nav.inc
    start big.html
    waitfor 'head -3 big.html | grep -qx N0'
    local attempt caught= i
    for attempt in 1 2 3 4 5; do
        printf 'N%s' $attempt >nav.inc
        # Its new text is being written while a new file is open beside it.
        for ((i = 0; i < 5000; i++)); do
            find /proc/$pid/fd -lname "$PWD/#*" -o -lname "$PWD/.skelvane-*" 2>/dev/null | grep -q . && caught=1 && break
            head -3 big.html | grep -qx N$attempt && break
        done
        [[ -n $caught ]] && break
    done
    [[ -n $caught ]] || fail "never saw the rewrite under way"
    stop TERM 0
    { region nav.inc N$attempt; body; } | cmp -s - big.html ||
        { region nav.inc N$((attempt - 1)); body; } | cmp -s - big.html || fail "big.html is neither old nor new"
    nostaging
}

# Ctrl-C while the watch writes into a full pipe: the write is not cut
# short, so the watch ends once the pipe is read; a second Ctrl-C ends it
# at once. Either way every page is whole and nothing is left behind.
case_fullpipe() {
    printf 'N' >nav.inc
    local names=() i n call fd blocked
    for ((i = 1; i <= 400; i++)); do
        names+=("$(printf 'p%0200d.html' $i)") && region nav.inc N >"${names[-1]}"
    done
    mkfifo pipe
    for n in 1 2; do
        exec 4<>pipe  # a reader that never reads: the pipe fills
        $wrapper "$bin" --watch -v "${names[@]}" >pipe 2>err &
        pid=$!
        # Blocked in a write to standard output (fd 1), twice in a row.
        blocked=0
        for ((i = 0; i < 300 && blocked < 2; i++)); do
            sleep 0.1
            read -r call fd _ </proc/$pid/syscall 2>/dev/null || break
            [[ $call == 1 && $fd == 0x1 ]] && blocked=$((blocked + 1)) || blocked=0
        done
        ((blocked == 2)) || fail "the watch never filled the pipe"
        kill -INT $pid
        sleep 1
        kill -0 $pid 2>/dev/null || fail "a Ctrl-C cut short a write to a full pipe: $(cat err)"
        if ((n == 1)); then
            cat <&4 >/dev/null &
            stop none 0
            kill $!
        else
            stop INT 130
        fi
        exec 4>&-
        for name in "${names[@]}"; do cmp -s "$name" <(region nav.inc N) || fail "$name is not whole"; done
        nostaging
    done
}

# Asleep while nothing changes: the CPU time of a few idle seconds, with a
# bound generous enough for any machine.
case_idle() {
    printf 'N' >nav.inc
    for i in $(seq 1 200); do page nav.inc >p$i.html; done
    start -v p*.html
    waitfor '[[ $(lines "Opening file p99.html") == 1 ]]'
    local before after used=() window
    # The main thread's time only (Wine has threads of its own); on a loaded
    # machine the looks after the first pass reach into the first windows.
    for window in 1 2 3 4 5; do
        before=$(awk '{print $14 + $15}' /proc/$pid/task/$pid/stat)
        sleep 3
        after=$(awk '{print $14 + $15}' /proc/$pid/task/$pid/stat)
        used+=($((after - before)))
        # Clock ticks of 10 ms: 15 of 300 is 5% of one core.
        (((after - before) <= 15)) && break
    done
    (((after - before) <= 15)) || fail "used ${used[*]} ticks of CPU in windows of 3 s of idling"
    stop INT 0
}

# A document that keeps changing, a line at a time by separate writes, for
# longer than a pattern is waited for: left alone until it rests.
case_restless() {
    printf 'NAV' >nav.inc
    printf '<h1>T</h1>\n' >page.html
    start page.html
    sleep 0.5
    page nav.inc >page.html
    local i now last=${EPOCHREALTIME//[.,]/} longest=0
    for ((i = 1; i <= 90; i++)); do
        echo "line $i" >>page.html
        sleep 0.05
        now=${EPOCHREALTIME//[.,]/}
        ((now - last > longest)) && longest=$((now - last))
        last=$now
    done
    # A loaded machine can hold the writer back long enough to look like
    # a rest; then the page may be replaced between its writes.
    if ((longest > 140000)); then
        echo "  ($case: the writer was held back ${longest} us; not judged)"
    elif [[ $(lines "Updated page.html") != 0 ]]; then
        fail "page.html was replaced while it was still being written"
    fi
    waitfor '[[ $(lines "Updated page.html") -ge 1 ]]'
    [[ $(grep -c '^line ' page.html) == 90 ]] || fail "lines lost: $(grep -c '^line ' page.html) of 90 left"
    has NAV page.html || fail "page.html lacks NAV"
    stop INT 0
}

# Passes that fail, four of them, with renames refused while new names are
# not (the fault injected; as root, an append-only directory): the first
# keeps its text in skelvane.tmp, later ones keep nothing, none leaves a
# file. With removals refused too (and no flag to say so), the first pass's
# staging name stays, named, and the later passes give theirs none. A
# read-only page whose skelvane.tmp is taken: nothing is kept, nor left.
refusedpasses() {  # injected, unremovable, appendonly or readonly
    local n message="cannot replace" left
    printf 'NAV0' >nav.inc
    page nav.inc >a.html
    [[ $1 == readonly ]] && chmod 444 a.html && mkdir skelvane.tmp && message="not kept"
    [[ $1 == appendonly ]] && chattr +a .
    start a.html
    for n in 0 1 2 3; do
        ((n == 0)) || printf 'NAV%s' $n >nav.inc
        waitfor "[[ \$(grep -c '$message' err) == $((n + 1)) ]]"
    done
    stop INT 1
    [[ $1 == appendonly ]] && chattr -a .
    expectfile a.html "$(page nav.inc)"
    left=$(staging)
    [[ $1 == readonly ]] && { [[ -z $left ]] || fail "left behind: $left"; return; }
    local kept="skelvane: a.html: cannot replace it: Operation not permitted; left unchanged, the new text is in skelvane.tmp"
    local dropped="skelvane: a.html: cannot replace it: Operation not permitted; left unchanged, the new text was not kept (skelvane.tmp exists already)"
    [[ $1 == unremovable ]] && kept+=" and in ./.skelvane-X, which cannot be removed: Operation not permitted"
    expectfile out "File error." "File error." "File error." "File error."
    sed -i 's/skelvane-[0-9a-f]\{16\}/skelvane-X/' err
    expectfile err "$kept" "$dropped" "$dropped" "$dropped"
    expectfile skelvane.tmp "$(region nav.inc NAV0)"
    if [[ $1 == unremovable ]]; then
        [[ $(wc -l <<<"$left") == 1 ]] && cmp -s "$left" skelvane.tmp || fail "left behind: $left"
        chmod u+w "$left" && rm -f "$left"
    else
        [[ -z $left ]] || fail "left behind: $left"
    fi
}
case_failedpasses() { refusedpasses readonly; }
# strace refuses the calls named, as a file system would.
refusing() { needs strace && ASAN_OPTIONS=detect_leaks=0 wrapper="strace -f -qq -o /dev/null -e trace=$1 -e inject=$1:error=EPERM" refusedpasses $2; }
case_refusedrenames() { refusing rename,renameat,renameat2 injected; }
case_unremovable() { refusing rename,renameat,renameat2,unlink,unlinkat unremovable; }
case_appendonly() {
    [[ $(id -u) == 0 ]] || { echo "  skip ($case): chattr +a needs root"; return; }
    chattr +a . 2>/dev/null && chattr -a . || { echo "  skip ($case): this file system has no append-only directories"; return; }
    refusedpasses appendonly
}

# A document written to while its new text is made durable is left to the
# next pass; the new text it no longer needs goes, and where it cannot (a
# named staging file, with /proc/self/fd hidden, whose removal is refused)
# the warning names the file left. Named staging files show when a pass
# writes, and the durability wait is drawn out so the write lands in it.
case_postponedunremovable() {
    needs strace || return
    [[ -z $wrapper ]] || { echo "  skip ($case): strace runs the Linux build only"; return; }
    printf 'NAV0' >nav.inc
    page nav.inc >a.html
    ASAN_OPTIONS=detect_leaks=0 wrapper="strace -f -qq -o /dev/null -e trace=access,unlink,unlinkat,fsync,fdatasync,syncfs -e inject=access:error=ENOENT -e inject=unlink,unlinkat:error=EPERM -e inject=fsync,fdatasync,syncfs:delay_enter=800000" start -v a.html
    waitfor 'has NAV0 a.html'
    waitfor '[[ $(lines "Opening file a.html") == 1 ]]'
    [[ -z $(staging) ]] || fail "a staging file before the edit: $(staging)"
    printf 'NAV1' >nav.inc
    local i
    for ((i = 0; i < 3000; i++)); do
        [[ -n $(staging) ]] && break
        sleep 0.01
    done
    echo '<p>more</p>' >>a.html
    # The pass its change brings finds removals refused there, and keeps
    # its text in skelvane.tmp rather than make a file it could not remove.
    waitfor '[[ $(lines "File error.") == 1 ]]'
    stop INT 1
    local left text
    left=$(staging)
    [[ $(wc -l <<<"$left") == 1 ]] || fail "left behind: $left"
    sed -i 's/skelvane-[0-9a-f]\{16\}/skelvane-X/' err
    expectfile err "skelvane: warning: ./.skelvane-X: holds a new text this run did not need, and cannot be removed: Operation not permitted" \
        "skelvane: a.html: cannot replace it: Operation not permitted; left unchanged, the new text is in skelvane.tmp"
    expectfile a.html '<body>' '<!--#pattern file="nav.inc" -->' NAV0 '<!--#endpattern -->' '</body>' '<p>more</p>'
    text=$(region nav.inc NAV1)
    cmp -s "$left" <(printf '%s\n' "$text") || fail "$left holds: $(cat "$left")"
    expectfile skelvane.tmp "$text" '<p>more</p>'
    chmod u+w "$left" && rm -f "$left"
}

# The watch's memory and watched directories depend on the site, not on how
# long it has run (on tmpfs, which never reuses an inode number): 60 edits of
# 200 pages' navigation, each with their parts' folder swapped for a copy,
# and of 100 pages whose part moves to a new folder (the old one removed)
# and whose linked part is pointed into a new one, stay within 10%.
case_memory() {
    [[ ${SKELVANE_PLATFORM:-} == windows ]] && { echo "  skip ($case): the Windows build is not measured"; return; }
    if [[ $(stat -f -c %T .) != tmpfs ]]; then
        mkdir site && mount -t tmpfs -o size=128m tmpfs site 2>/dev/null ||
            { echo "  skip ($case): . is not on tmpfs, and no tmpfs can be mounted here (not root?)"; return; }
        mounted=$PWD/site && cd site
    fi
    local i
    mkdir -p rewrites/parts folders
    cd rewrites && printf 'NAV0' >nav.inc
    for ((i = 1; i <= 200; i++)); do
        printf 'P%s' $i >parts/p$i.inc
        printf '<!--#pattern file="%s" -->\n<!--#endpattern -->\n' nav.inc parts/p$i.inc >p$i.html
    done
    steadymemory 'mv parts parts.old && cp -r parts.old parts && rm -r parts.old && printf NAV$n >nav.inc' \
        'has NAV$n p200.html' p{1..200}.html
    expectfile p1.html '<!--#pattern file="nav.inc" -->' NAV60 '<!--#endpattern -->' \
        '<!--#pattern file="parts/p1.inc" -->' P1 '<!--#endpattern -->'
    cd ../folders && for ((i = 1; i <= 100; i++)); do movepage 0 $i; done
    steadymemory 'for ((i = 1; i <= 100; i++)); do movepage $n $i; done; rm -r m$((n - 1))' \
        '[[ $(cat q*.html | grep -c -x -e "M$n" -e "R$n") == 200 ]]' q{1..100}.html
    expectfile q1.html '<!--#pattern file="m60/1/part.inc" -->' M60 '<!--#endpattern -->' \
        '<!--#pattern file="l1.inc" -->' R60 '<!--#endpattern -->'
    cd ../.. && [[ -z $mounted ]] || { umount "$mounted"; mounted=; }
}

# A watch over the pages; edits n = 1 to 60 by EDIT, each waited for by DONE.
steadymemory() {  # EDIT DONE PAGE...
    local edit=$1 done=$2 first after n=0 when="the first pass" watching
    shift 2
    # The sanitizer's quarantine would hold every freed block back.
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0 start "$@"
    waitfor "$done" || return
    sleep 1
    resident() { awk '/^VmRSS:/ {print $2}' /proc/$pid/status; }
    # The directories inotify watches for it, one line each.
    watches() { cat /proc/$pid/fdinfo/* 2>/dev/null | grep -c '^inotify wd:'; }
    first=$(resident) watching=$(watches)
    for ((n = 1; n <= 60; n++)); do
        eval "$edit"
        waitfor "$done" || break
        # The sanitizer's runtime grows by 8% on the first paths an edit
        # takes, and then stays: what is judged is the watch's.
        ((n == 1)) && ldd "$bin" 2>/dev/null | grep -q libasan && echo "  ($case: $first KiB after the first pass)" &&
            first=$(resident) when="the first edit (sanitized)"
    done
    sleep 1
    after=$(resident)
    echo "  ($case: resident $first KiB after $when, $after KiB after $((n - 1)) edits of $# pages)"
    ((after * 10 <= first * 11)) || fail "resident size grew from $first KiB to $after KiB"
    [[ $(watches) == "$watching" ]] || fail "$watching directories watched after the first pass, $(watches) now"
    stop INT 0
    [[ ! -s err ]] || fail "stderr: $(cat err)"
    nostaging
}

# Page i of edit n: its part in m<n>/<i>/, its linked part in r<n>/<i>/.
movepage() {  # N I
    mkdir -p m$1/$2 r$1/$2
    printf 'M%s' $1 >m$1/$2/part.inc
    printf 'R%s' $1 >r$1/$2/part.inc
    ln -sfn r$1/$2/part.inc l$2.inc
    printf '<!--#pattern file="%s" -->\n<!--#endpattern -->\n' m$1/$2/part.inc l$2.inc >q$2.html
}

cases=("$@")
# memory runs apart, as slow.
[[ ${#cases[@]} -gt 0 ]] || cases=(signal fullpipe idle failedpasses refusedrenames unremovable appendonly
                                   postponedunremovable restless)
for case in "${cases[@]}"; do
    mkdir "$root/$case" && cd "$root/$case" || exit 1
    echo "case $case"
    casefailed=0
    "case_$case"
    [[ -n $pid ]] && kill -KILL $pid 2>/dev/null
    pid=
    # The mutation check needs only to know that something failed.
    [[ $failed == 0 || -z ${SKELVANE_FAIL_FAST:-} ]] || break
done
exit $failed
