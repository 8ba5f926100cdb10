# Sourced by hook.sh and check.sh: skelvane found or said missing, the pages
# git tracks for the pathspecs, and the fence. Whatever keeps a page from
# being checked ends the script with a nonzero status and one line saying
# why: a check that looked at nothing must not pass.
skelvane=${SKELVANE:-skelvane}
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# STATUS MESSAGE: the one line, then the end. check.sh says more.
stop() {
    printf 'skelvane: %s\n' "$2" >&2
    exit "$1"
}

need_skelvane() {
    command -v "$skelvane" >/dev/null 2>&1 && return
    stop 127 "skelvane is not installed ('$skelvane' is not on PATH): install a release archive or the Debian package, or build it from $source_dir: cmake --preset release && cmake --build --preset release && sudo cmake --install build/release"
}

# The fence: pattern names stay inside the work tree unless the options
# name a narrower --root, so no page brings in a file from outside it.
# Sets fence (the options to add) and list (the file of NUL-ended names git
# tracks for the pathspecs in specs), in the folder tmp.
list_pages() {
    local top
    if ! top=$(git rev-parse --show-cdup 2>"$tmp/git.err"); then
        stop 2 "$PWD is not a git checkout, so no page was checked: $(head -n 1 "$tmp/git.err")"
    fi
    fence=(--root="${top:-.}")
    local option
    for option in "${options[@]}"; do
        [[ $option == --root=* ]] && fence=()
    done
    list=$tmp/pages
    # No pipe: git's own status is read.
    if ! git ls-files -z -- "${specs[@]}" >"$list" 2>"$tmp/git.err"; then
        stop 2 "git ls-files failed, so no page was checked: $(head -n 1 "$tmp/git.err")"
    fi
    [[ -s $list ]] || stop 2 "no page that git tracks matches $(printf "'%s' " "${specs[@]}")so none was checked"
}
