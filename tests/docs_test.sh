#!/usr/bin/env bash
# docs_test.sh SKELVANE: every relative link in the Markdown files leads to a
# file (and an anchor to a heading), and every sh snippet of README.md and
# doc/*.md works: skelvane commands run in a scratch copy of the example
# site (a watch for two seconds) and must not meet an unknown option or a
# usage error; build commands must name presets that exist and files that
# are there; the release's install commands must name this version's
# archives (packaging/old-linux.sh runs them on Debian 11). The first build
# command must configure without GoogleTest, and the test command must stop
# without it, saying so.
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

version=$(sed -n 's/^project(skelvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
presets=$(grep -o '"name": "[^"]*"' CMakePresets.json | cut -d'"' -f4 | sort -u)
runline() {  # DOCUMENT LINE
    local document=$1 line=$2 status preset
    case $line in
    sudo\ cmake*)
        runline "$document" "${line#sudo }" ;;
    "tar -xzf "* | "sudo install "* | "install "*)
        bash -n <<<"$line" || fail "$document: not a shell command: $line"
        for name in $(grep -o 'skelvane[-_][0-9][^ /]*' <<<"$line"); do
            [[ $name == skelvane-$version-linux-x86_64* ]] || fail "$document: $name is not this version's tarball: $line"
        done ;;
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
    done < <(awk '/^ *```/ { insh = ($0 ~ /^ *```sh$/); next } insh { sub(/^ +/, ""); print }' "$document")
done
# Every archive name in the text is this version's.
for document in "${documents[@]}"; do
    while read -r name; do
        [[ $name == *"-$version-"* || $name == *"_${version}_"* ]] || fail "$document names $name, not version $version"
    done < <(grep -oE 'skelvane(-[0-9.]+-(linux|windows)|_[0-9.]+_amd64)' "$document" | sort -u)
done

# README command 1 on a machine without GoogleTest: the release preset
# configures; the test presets refuse, naming what to install.
if cmake --preset release -B "$work/plain" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/out" 2>&1; then
    grep -q "building skelvane without its tests" "$work/out" || fail "the release preset without GoogleTest: $(tail -3 "$work/out")"
else
    fail "the release preset does not configure without GoogleTest: $(tail -5 "$work/out")"
fi
if cmake --preset release-tests -B "$work/tests" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/out" 2>&1; then
    fail "the test preset configures without GoogleTest"
else
    grep -q "libgtest-dev" "$work/out" || fail "the test preset without GoogleTest does not say what to install: $(tail -5 "$work/out")"
fi
exit $((failures > 0))
