#!/usr/bin/env bash
# docs_test.sh SKELVANE: every relative link in the Markdown files leads to a file (an anchor to a heading), and every
# sh snippet of README.md and doc/*.md works: skelvane commands in a copy of the example site (a watch for two seconds)
# meet no unknown option or usage error, build commands name presets and files that exist, archive names are this
# version's. Without GoogleTest the release preset configures and the test preset stops, saying so.
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tests/lib.sh"
cd "$here" || exit 1
documents=(README.md doc/*.md)

version=$(sed -n 's/^project(skelvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
presets=$(grep -o '"name": "[^"]*"' CMakePresets.json | cut -d'"' -f4)
runline() {  # DOCUMENT LINE
    case $2 in
    sudo\ cmake*) runline "$1" "${2#sudo }" ;;
    # Install commands: packaging/old-linux.sh runs them on Debian 11.
    "tar -xzf "* | "sudo install "* | "install "*) bash -n <<<"$2" || fail "$1: not a shell command: $2" ;;
    cmake*)
        for preset in $(grep -o -- '--preset [a-z0-9-]*' <<<"$2" | cut -d' ' -f2); do
            grep -qx -- "$preset" <<<"$presets" || fail "$1: no preset $preset: $2"
        done ;;
    examples/* | build/*/bench/* | fuzz/* | tests/* | packaging/*)
        [[ -e ${2%% *} || ${2%% *} == build/* ]] || fail "$1: no ${2%% *}: $2" ;;
    *skelvane*)
        local site status
        site=$(mktemp -d "$work/site.XXXXXX") && cp -R examples/site/. "$site"
        # A watch gets one Ctrl-C after two seconds, as its process group would.
        (cd "$site" && git init -q . && git add . || exit 9
            [[ $2 == *--watch* ]] || exec bash -c "$2"
            set -m
            bash -c "$2" &
            sleep 2 && kill -INT -- -$! && wait $!) >"$work/out" 2>&1
        status=$?
        [[ $status == [01] ]] || fail "$1: status $status from: $2: $(head -5 "$work/out")"
        grep -q -e "unknown option" -e "Usage:" "$work/out" && fail "$1: $2: $(head -5 "$work/out")" ;;
    *) fail "$1: a snippet line this test does not know how to try: $2" ;;
    esac
}
# The anchors GitHub makes of a file's headings.
anchors() { sed -n 's/^#\{1,6\} //p' "$1" | tr 'A-Z' 'a-z' | sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g'; }
for document in "${documents[@]}"; do
    while IFS= read -r link; do
        file=$document anchor=
        [[ $link == *"#"* ]] && anchor=${link#*#}
        [[ -n ${link%%#*} ]] && file=$(dirname "$document")/${link%%#*}
        [[ -e $file ]] || { fail "$document: the link $link leads nowhere"; continue; }
        [[ -z $anchor || $file != *.md ]] || anchors "$file" | grep -qx -- "$anchor" || fail "$document: $link: no such heading in $file"
    done < <(grep -o '\](\([^)]*\))' "$document" | sed 's/^](\(.*\))$/\1/' | grep -v '^[a-z]*:')
    while IFS= read -r line; do
        [[ -n $line ]] && runline "$document" "$line"
    done < <(awk '/^ *```/ { insh = ($0 ~ /^ *```sh$/); next } insh { sub(/^ +/, ""); print }' "$document")
    for name in $(grep -oE 'skelvane(-[0-9.]+-(linux|windows)|_[0-9.]+_amd64)' "$document" | sort -u); do
        [[ $name == *"-$version-"* || $name == *"_${version}_"* ]] || fail "$document names $name, not version $version"
    done
done

# README command 1 on a machine without GoogleTest: the release preset
# configures; the test presets refuse, naming what to install.
cmake --preset release -B "$work/plain" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/out" 2>&1 &&
    grep -q "building skelvane without its tests" "$work/out" || fail "the release preset without GoogleTest: $(tail -5 "$work/out")"
! cmake --preset release-tests -B "$work/tests" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >"$work/out" 2>&1 &&
    grep -q "libgtest-dev" "$work/out" || fail "the test preset without GoogleTest configures or does not say what to install: $(tail -5 "$work/out")"
finish
