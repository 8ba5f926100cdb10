# Sourced by hook.sh and check.sh: git and skelvane found or said missing,
# the options checked, the pages git tracks for the pathspecs, and the
# fence: a copy of the tracked files in which skelvane runs. Whatever keeps
# a page from being checked ends the script with a nonzero status and one
# line saying why: a check that looked at nothing must not pass.
skelvane=${SKELVANE:-skelvane}
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# STATUS MESSAGE: the one line, then the end. check.sh says more.
stop() {
    printf 'skelvane: %s\n' "$2" >&2
    exit "$1"
}

# NAME as one line: quoted with escapes when it holds a control byte.
showname() {
    if [[ $1 == *[[:cntrl:]]* ]]; then printf '%q' "$1"; else printf '%s' "$1"; fi
}

need_skelvane() {
    command -v "$skelvane" >/dev/null 2>&1 && return
    stop 127 "skelvane is not installed ('$skelvane' is not on PATH): install a release archive or the Debian package, or build it from $source_dir: cmake --preset release && cmake --build --preset release && sudo cmake --install build/release"
}

# Only the options that shape the text: any other would make a run check or
# write nothing (--stdout, --help, --watch, --files-from...) and so pass.
# MODE: check or fix; --if-changed only in the fixer.
check_options() {
    local option
    for option in "${options[@]}"; do
        case $option in
        --relative | --links=relative | --mark-current | --indent | --strict | -v | --verbose | --root=?* | --eol=?*) ;;
        --if-changed) [[ $1 == fix ]] || stop 2 "the option --if-changed cannot be used in a check" ;;
        *) stop 2 "the option '$option' cannot be used here: only --relative, --links=relative, --mark-current, --indent, --root=DIR, --eol=STYLE, --strict and -v (--verbose) can, and --if-changed in the fixer (a pathspec that begins with - goes after --)" ;;
        esac
    done
}

# Whether a pathspec excludes (:!x, :^x, :(exclude)x) rather than names pages.
excludes() { [[ $1 =~ ^:[/]*[!^] || $1 =~ ^:\([^\)]*exclude ]]; }

# specs (as given) to pathspecs, one meaning for hooks and action: a plain
# git pathspec (its * crosses folders), one holding ** read with :(glob),
# one that begins with : as written; *.html when all of them exclude.
make_pathspecs() {
    local spec include=
    pathspecs=()
    for spec in "${specs[@]}"; do
        if [[ $spec == :* ]]; then
            pathspecs+=("$spec")
        elif [[ $spec == *'**'* ]]; then
            pathspecs+=(":(glob)$spec")
        else
            pathspecs+=("$spec")
        fi
        excludes "$spec" || include=1
    done
    [[ -n $include ]] || pathspecs+=('*.html')
}

# The fence. A page may include only files git tracks, inside the work tree
# (or the narrower --root=DIR of the options): skelvane runs in a copy of
# those files with --root at the copy's top, so nothing else is there to
# be read. Sets top (the work tree, resolved), prefix (the working folder
# from it), fence (the --root option, relative, valid in both) and list
# (the file of NUL-ended page names git tracks for pathspecs), in the
# folder tmp; options loses its --root.
list_pages() {
    command -v git >/dev/null 2>&1 || stop 2 "git is not installed (not on PATH), so no page was checked"
    local inside
    if ! inside=$(git rev-parse --is-inside-work-tree 2>"$tmp/git.err"); then
        stop 2 "$PWD is not a git checkout, so no page was checked: $(head -n 1 "$tmp/git.err")"
    fi
    [[ $inside == true ]] || stop 2 "$PWD is in a git repository without a work tree (a bare clone, or .git), so no page was checked"
    local cdup
    top=$(cd "$(git rev-parse --show-toplevel)" && pwd -P) && cdup=$(git rev-parse --show-cdup) &&
        prefix=$(git rev-parse --show-prefix) || stop 2 "git rev-parse failed, so no page was checked"
    local option root= kept=()
    for option in "${options[@]}"; do
        if [[ $option == --root=* ]]; then
            local dir=${option#--root=} resolved
            resolved=$(cd -- "$dir" 2>/dev/null && pwd -P) || stop 2 "$option: no such folder"
            [[ $resolved == "$top" || $resolved == "$top"/* ]] ||
                stop 2 "$option lies outside the work tree $top: a --root can only narrow the fence"
            root=${resolved#"$top"}
            root=${root#/}
        else
            kept+=("$option")
        fi
    done
    options=(${kept[@]+"${kept[@]}"})
    local rootname=$cdup$root
    fence=(--root="${rootname:-.}")
    # No pipe: git's own status is read.
    if ! git ls-files -z -- "${pathspecs[@]}" >"$tmp/listed" 2>"$tmp/git.err"; then
        stop 2 "git ls-files failed, so no page was checked: $(head -n 1 "$tmp/git.err")"
    fi
    [[ -s $tmp/listed ]] || stop 2 "no page that git tracks matches $(printf "'%s' " "${pathspecs[@]}")so none was checked"
    # Each pathspec that names pages must name one: a misspelt name in a list
    # would otherwise leave its page unchecked while the rest pass.
    local spec
    for spec in "${pathspecs[@]}"; do
        excludes "$spec" && continue
        [[ -n $(git ls-files -- "$spec" 2>/dev/null | head -c 1) ]] ||
            stop 2 "no page that git tracks matches '$spec' so it was not checked"
    done
    # A page that is a link leading out of the work tree is not one of its
    # files: refused, named.
    list=$tmp/pages refused=$tmp/refused
    local page target
    while IFS= read -r -d '' page; do
        if [[ -L $page ]] && target=$(realpath -- "$page" 2>/dev/null) && [[ $target != "$top"/* ]]; then
            printf 'skelvane: %s: a link to a file outside the work tree, so it was not checked\n' "$(showname "$page")" >&2
            printf '%s\0' "$page" >&3
        else
            printf '%s\0' "$page"
        fi
    done <"$tmp/listed" >"$list" 3>"$refused"
    [[ -s $list ]] || stop 2 "every page is a link out of the work tree, so none was checked"
}

# The files git tracks, as they are in the work tree (links as links), in
# copy; submodules and deleted files left out. Sets copy and here (the
# working folder in it).
make_copy() {
    # Resolved, as skelvane names its --root in messages.
    copy=$(cd "$tmp" && pwd -P)/copy
    mkdir "$copy" || stop 2 "cannot make the folder $copy"
    local entry path last=
    (cd "$top" && git ls-files -z --stage) >"$tmp/staged" || stop 2 "git ls-files failed, so no page was checked"
    while IFS= read -r -d '' entry; do
        [[ $entry == 160000\ * ]] && continue
        path=${entry#*$'\t'}
        [[ $path == "$last" ]] && continue
        last=$path
        [[ -e $top/$path || -L $top/$path ]] && printf './%s\0' "$path"
    done <"$tmp/staged" >"$tmp/tracked"
    tar -C "$top" --null --no-recursion -T "$tmp/tracked" -cf - | tar -C "$copy" -xf - ||
        stop 2 "cannot copy the files git tracks to $copy, so no page was checked"
    here=$copy/$prefix
    mkdir -p "$here"
}

# skelvane ARGS... in the copy, its standard error with the copy's folder
# named as the work tree.
in_copy() {
    local status
    (cd "$here" && "$skelvane" "$@") 2>"$tmp/copy.err"
    status=$?
    local line
    while IFS= read -r line || [[ -n $line ]]; do
        printf '%s\n' "${line//"$copy"/"$top"}"
    done <"$tmp/copy.err" >&2
    return $status
}
