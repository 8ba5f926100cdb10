#!/usr/bin/env bash
# docs_test.sh SKELVANE: every relative link in the Markdown files leads to a
# file (and an anchor to a heading), and every sh snippet of README.md and
# doc/*.md works: skelvane commands run in a scratch copy of the example
# site (a watch for two seconds) and must not meet an unknown option or a
# usage error; build commands must name presets that exist and files that
# are there.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
bindir=$(mktemp -d) work=$(mktemp -d)
trap 'rm -rf "$bindir" "$work"' EXIT
ln -s "$(realpath "$1")" "$bindir/skelvane"
export PATH="$bindir:$PATH"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cd "$here" || exit 1
documents=(README.md doc/*.md)

# The anchors GitHub makes of a file's headings.
anchors() { sed -n 's/^#\{1,6\} //p' "$1" | tr 'A-Z' 'a-z' | sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g'; }
for document in "${documents[@]}"; do
    while IFS= read -r link; do
        target=${link%%#*} anchor=
        [[ $link == *"#"* ]] && anchor=${link#*#}
        file=$document
        [[ -n $target ]] && file=$(dirname "$document")/$target
        [[ -e $file ]] || { fail "$document: the link $link leads nowhere"; continue; }
        [[ -z $anchor || $file != *.md ]] || anchors "$file" | grep -qx -- "$anchor" ||
            fail "$document: $link: no such heading in $file"
    done < <(grep -o '\](\([^)]*\))' "$document" | sed 's/^](\(.*\))$/\1/' | grep -v -e '^[a-z]*:' )
done

presets=$(grep -o '"name": "[^"]*"' CMakePresets.json | cut -d'"' -f4 | sort -u)
runline() {  # DOCUMENT LINE
    local document=$1 line=$2 status preset
    case $line in
    cmake*)
        for preset in $(grep -o -- '--preset [a-z0-9-]*' <<<"$line" | cut -d' ' -f2); do
            grep -qx -- "$preset" <<<"$presets" || fail "$document: no preset $preset: $line"
        done ;;
    examples/* | build/*/bench/* | fuzz/* | tests/* | packaging/*)
        [[ -e ${line%% *} || ${line%% *} == build/* ]] || fail "$document: no ${line%% *}: $line" ;;
    *skelvane*)
        local site
        site=$(mktemp -d "$work/site.XXXXXX")
        cp -R examples/site/. "$site"
        # A watch gets one Ctrl-C after two seconds, as its process group would.
        (cd "$site" && git init -q . && git add . || exit 9
            [[ $line == *--watch* ]] || exec bash -c "$line"
            set -m
            bash -c "$line" &
            sleep 2 && kill -INT -- -$! && wait $!) >"$work/out" 2>&1
        status=$?
        [[ $status == 0 || $status == 1 ]] || fail "$document: status $status from: $line: $(head -5 "$work/out")"
        grep -q -e "unknown option" -e "Usage:" "$work/out" && fail "$document: $line: $(head -5 "$work/out")" ;;
    *) fail "$document: a snippet line this test does not know how to try: $line" ;;
    esac
}
for document in "${documents[@]}"; do
    while IFS= read -r line; do
        [[ -n $line ]] && runline "$document" "$line"
    done < <(awk '/^```/ { insh = ($0 == "```sh"); next } insh' "$document")
done
exit $((failures > 0))
