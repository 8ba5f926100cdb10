#!/usr/bin/env bash
# packaging/release.sh [--tag] [--untagged-test] VERSION [DIST]
# Builds the release archives of the commit at HEAD into DIST (dist/ by
# default), builds them a second time from scratch, and checks them:
#   skelvane-VERSION-linux-x86_64.tar.gz  the static binary, manual page, completion,
#                                         README.md, LICENSE, doc/*.md, examples/site
#   skelvane_VERSION_amd64.deb            the Debian package
#   skelvane-VERSION-windows-x86.zip      skelvane.exe (32-bit, for every Windows),
#   skelvane-VERSION-windows-x64.zip      README.txt, LICENSE.txt, doc\*.txt, examples\site
#   SHA256SUMS                            over all of them
# HEAD must carry the annotated tag vVERSION; --tag makes it. The checks:
# same bytes from both builds; the Linux binary static; lintian clean on the
# package; each archive's README leads only to what the archive holds; the
# README's commands, the example site, and (as root, with debootstrap) the
# tarball and the package on Debian 11; skelvane.exe under 64-bit Wine.
#
# --untagged-test is for the test suite only (CTest's release_archives, on
# clones without tags, with changes not yet committed): no tag is needed,
# and every file name says "untagged" so that none passes for a release.
set -euo pipefail
maketag=false untagged=false
while [[ ${1:-} == --* ]]; do
    case $1 in
    --tag) maketag=true ;;
    --untagged-test) untagged=true ;;
    *) echo "release: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
version=${1:?usage: packaging/release.sh [--tag] [--untagged-test] VERSION [DIST]}
here=$(cd "$(dirname "$0")/.." && pwd)
dist=$(mkdir -p "${2:-$here/dist}" && cd "${2:-$here/dist}" && pwd)
say() { echo "release: $*"; }
die() { echo "release: $*" >&2; exit 1; }
for tool in git cmake ninja gzip zip unzip sha256sum file objdump strip dpkg-deb lintian \
            x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix; do
    # 77: a skip for CTest, which runs this as a test.
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing (.ci/run lists the packages)"; exit 77; }
done

# The tag: a release is the bytes of one tagged commit.
tag=v$version
if $untagged; then
    label=$version-untagged
    say "a TEST BUILD of an untagged tree: not a release (--untagged-test)"
else
    label=$version
    [[ -z $(git -C "$here" status --porcelain --untracked-files=no) ]] ||
        die "the work tree has changes that are not committed: a release is made from a commit"
    if ! git -C "$here" tag --points-at HEAD | grep -qx -- "$tag"; then
        $maketag || die "HEAD has no tag $tag: make it with git tag -a $tag -m 'skelvane $version', or run with --tag"
        git -C "$here" tag -a "$tag" -m "skelvane $version" || die "could not make the tag $tag"
        say "tagged HEAD $tag"
    fi
    [[ $(git -C "$here" cat-file -t "$tag") == tag ]] || die "$tag is a lightweight tag: releases carry annotated ones"
fi
# Every time stamp in the archives, and the .exe's, is the commit's.
SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
work=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
name=skelvane-$label
deb=skelvane_${label}_amd64.deb

# tarfolder FOLDER ARCHIVE / zipfolder FOLDER ARCHIVE: the folder's name and
# everything under it, in name order, owned by 0, dated SOURCE_DATE_EPOCH.
tarfolder() {
    tar -C "$(dirname "$1")" --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
        --mtime="@$SOURCE_DATE_EPOCH" --mode=u+rwX,go+rX,go-w -cf - "$(basename "$1")" | gzip -9n >"$2"
}
zipfolder() {
    # zip keeps the modes, which the checkout's umask set.
    chmod -R u=rwX,go=rX "$1"
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    (cd "$(dirname "$1")" && find "$(basename "$1")" -type f | sort | zip -q -X -@ "$2")
}
crlf() { sed -e 's/\r$//' -e 's/$/\r/' "$1" >"$2"; }
unix() { sed "s/@VERSION@/$version/g" "$1" >"$2"; }

# makeall OUT BUILDS: every archive into OUT, built in BUILDS/release-archive*.
makeall() {
    local out=$1 builds=$2 stage arch build folder doc
    stage=$(mktemp -d "$work/stage.XXXXXX")
    mkdir -p "$out"
    # The source path stays out of the binaries, so that any clone makes the same bytes.
    local flags="-ffile-prefix-map=$here=."
    build=$builds/release-archive
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF -DSKELVANE_STATIC=ON \
          -DCMAKE_CXX_FLAGS="$flags" >/dev/null
    cmake --build "$build" >/dev/null
    "$build/skelvane" --version | grep -qx "skelvane, HTML pattern includer, v. $version" ||
        die "the program says $("$build/skelvane" --version), not v. $version"
    folder=$stage/$name-linux-x86_64
    mkdir -p "$folder/doc" "$folder/examples"
    cp "$build/skelvane" "$folder/" && strip "$folder/skelvane"
    cp "$here/doc/skelvane.1" "$here/LICENSE" "$folder/"
    cp "$here/completion/skelvane" "$folder/skelvane.bash-completion"
    unix "$here/packaging/README-linux.md" "$folder/README.md"
    cp "$here"/doc/{reference,safety,performance}.md "$folder/doc/"
    cp -R "$here/examples/site" "$folder/examples/"
    tarfolder "$folder" "$out/$name-linux-x86_64.tar.gz"
    (cd "$build" && cpack -G DEB -B "$stage/deb" -D CPACK_PACKAGE_VERSION="$version" >/dev/null)
    cp "$stage"/deb/skelvane_"$version"_amd64.deb "$out/$deb"

    for arch in x86 x64; do
        build=$builds/release-archive-$arch
        cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF \
              -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-$([[ $arch == x86 ]] && echo i686 || echo x86_64).cmake" \
              -DCMAKE_CXX_FLAGS="$flags" >/dev/null
        cmake --build "$build" --target skelvane >/dev/null
        folder=$stage/windows-$arch/$name-windows-$arch
        mkdir -p "$folder/doc" "$folder/examples"
        cp "$build/skelvane.exe" "$folder/"
        "$([[ $arch == x86 ]] && echo i686 || echo x86_64)-w64-mingw32-strip" "$folder/skelvane.exe"
        sed "s/@VERSION@/$version/g; s/@ARCH@/$arch/g" "$here/packaging/README-windows.txt" >"$stage/README"
        crlf "$stage/README" "$folder/README.txt"
        crlf "$here/LICENSE" "$folder/LICENSE.txt"
        for doc in reference safety performance; do
            # Plain text that Notepad opens; its links name the .txt files beside it.
            sed -E 's/\]\(([^):]*)\.md(#[^)]*)?\)/](\1.txt\2)/g' "$here/doc/$doc.md" >"$stage/$doc"
            crlf "$stage/$doc" "$folder/doc/$doc.txt"
        done
        cp -R "$here/examples/site" "$folder/examples/"
        zipfolder "$folder" "$out/$name-windows-$arch.zip"
    done
    (cd "$out" && sha256sum "$name"-* "$deb" >SHA256SUMS)
}

head -1 "$here/packaging/changelog" | grep -q "^skelvane ($version) " ||
    die "packaging/changelog has no entry for $version at its top"
rm -f "$dist"/skelvane-"$version"* "$dist"/skelvane_"$version"*.deb "$dist"/SHA256SUMS
makeall "$dist" "$here/build"
say "made; building again from scratch to compare"
makeall "$work/again" "$work/builds"
for file in $(cd "$work/again" && ls); do
    cmp -s "$dist/$file" "$work/again/$file" || die "$file differs between two builds of the same commit"
done
rm -rf "$work/again" "$work/builds"

# The checks: each archive unpacked as a user would, then run.
check=$work/check
mkdir "$check"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || die "SHA256SUMS does not match"
runsite() {  # SITE RUN...: the example site in SITE, run, as its pages must come out (line ends aside)
    local site=$1
    shift
    local pages="index.html about.html news/index.html blog/2026/first-post.html"
    cp -R "$here/examples/site/." "$site"
    (cd "$site" && "$@" >/dev/null) || return 1
    for page in $pages; do
        tr -d '\r' <"$site/$page" | cmp -s - "$here/examples/expected/$page" || { echo "$page differs"; return 1; }
    done
}
# snippet README START: the lines of the first ``` block after the line that begins with START.
snippet() { awk -v heading="$2" 'index($0, heading) == 1 { found = 1 } found && /^```/ { if (inside) exit; inside = 1; next } inside' "$1"; }
# readmelinks README FOLDER: each relative link of README must lead into FOLDER.
readmelinks() {
    local link
    while IFS= read -r link; do
        link=${link%%#*}
        [[ -z $link || -e $(dirname "$1")/$link ]] || die "$(basename "$2"): README.md links $link, which it does not hold"
    done < <(grep -o '\](\([^)]*\))' "$1" | sed 's/^](\(.*\))$/\1/' | grep -v '^[a-z]*:')
}

tar -C "$check" -xzf "$dist/$name-linux-x86_64.tar.gz"
linux=$check/$name-linux-x86_64
for file in skelvane skelvane.1 skelvane.bash-completion README.md LICENSE doc/reference.md doc/safety.md \
            doc/performance.md examples/site/index.html; do
    [[ -f $linux/$file ]] || die "$name-linux-x86_64.tar.gz lacks $file"
done
readmelinks "$linux/README.md" "$linux"
for doc in "$linux"/doc/*.md; do readmelinks "$doc" "$linux"; done
# The floor: static, or nothing newer than glibc 2.17 (2012; CentOS 7).
if ! file "$linux/skelvane" | grep -q "statically linked"; then
    newest=$(objdump -T "$linux/skelvane" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1)
    [[ $(printf '%s\n' GLIBC_2.17 "$newest" | sort -V | tail -1) == GLIBC_2.17 ]] ||
        die "the Linux binary needs $newest: it must be static, or need glibc 2.17 at most"
fi
file "$linux/skelvane" | grep -q "not stripped" && die "the Linux binary is not stripped"
"$linux/skelvane" --version | grep -qx "skelvane, HTML pattern includer, v. $version" || die "the Linux binary's --version"
# The README's commands as pasted: the install for one user, then its example.
home=$work/home
mkdir -p "$home/.local/bin"
(cd "$linux" && HOME=$home bash -euc "$(snippet README.md "Or only for you")") ||
    die "the tarball README's install for one user"
for file in bin/skelvane share/man/man1/skelvane.1 share/bash-completion/completions/skelvane; do
    [[ -f $home/.local/$file ]] || die "the tarball README's install put no $file in ~/.local"
done
# Its copy of the site goes to a folder of mktemp's, here the only one in $TMPDIR.
mkdir "$check/tmp"
(cd "$linux" && TMPDIR=$check/tmp PATH=$home/.local/bin:$PATH bash -euc "$(snippet README.md "## Try it")" >/dev/null) ||
    die "the tarball README's example"
copies=("$check"/tmp/*)
[[ ${#copies[@]} == 1 && -d ${copies[0]} ]] || die "the tarball README's example made no copy of the site"
for page in index.html about.html news/index.html blog/2026/first-post.html; do
    cmp -s "${copies[0]}/$page" "$here/examples/expected/$page" || die "the tarball README's example: $page differs"
done

dpkg-deb --field "$dist/$deb" Version | grep -qx "$version" || die "the .deb's version"
depends=$(dpkg-deb --field "$dist/$deb" Depends)
if file "$linux/skelvane" | grep -q "statically linked"; then
    [[ -z $depends ]] || die "the .deb depends on $depends, its static binary on nothing"
else
    [[ $depends == *"libc6 (>= "* ]] || die "the .deb depends on \"$depends\", with no glibc version"
fi
lintian --fail-on error,warning "$dist/$deb" 2>/dev/null || die "lintian finds fault with the .deb"

for arch in x86 x64; do
    mkdir "$check/$arch"
    unzip -q "$dist/$name-windows-$arch.zip" -d "$check/$arch"
    windows=$check/$arch/$name-windows-$arch
    # Each file README.txt lists is there, and it lists each one there is.
    listed=$(tr -d '\r' <"$windows/README.txt" | awk '/^This folder holds:/ { inside = 1; next } /^[^ ]/ { inside = 0 }
                                                    inside && NF { print $1 }' | tr '\\' / | sort)
    held=$(cd "$windows" && { find * -maxdepth 0 -type f; find doc examples -mindepth 1 -maxdepth 1; } | sort)
    [[ $listed == "$held" ]] || die "README.txt in $name-windows-$arch.zip lists $(echo $listed), the zip holds $(echo $held)"
    for file in README.txt LICENSE.txt doc/reference.txt doc/safety.txt doc/performance.txt; do
        # Every line ends in CR LF: no LF without its CR.
        ! grep -q $'[^\r]$' "$windows/$file" && grep -q $'\r$' "$windows/$file" ||
            die "$file in $name-windows-$arch.zip has line ends other than CR LF"
    done
    grep -q '\.md' "$windows"/doc/*.txt && die "the text documents of $name-windows-$arch.zip name .md files"
    # The linker's time stamp is the commit's.
    [[ $(objdump -p "$windows/skelvane.exe" | sed -n 's/^Time\/Date[[:space:]]*//p') == "$(date -d "@$SOURCE_DATE_EPOCH" '+%a %b %e %H:%M:%S %Y')" ]] ||
        die "the time stamp of skelvane.exe in $name-windows-$arch.zip is not the commit's"
done
file "$check/x86/$name-windows-x86/skelvane.exe" | grep -q "PE32 executable" || die "the x86 archive's skelvane.exe is not 32-bit"
if [[ -x /usr/lib/wine/wine64 ]]; then
    # The prefix in the build folder, never in $HOME.
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$here/build/release-archive-wine64
    wine=(/usr/lib/wine/wine64 "$check/x64/$name-windows-x64/skelvane.exe")
    "${wine[@]}" --version | tr -d '\r' | grep -qx "skelvane, HTML pattern includer, v. $version" ||
        die "the x64 skelvane.exe's --version under Wine"
    # README.txt's example command, backslashes and all.
    read -ra example < <(sed -n 's/\r$//; s/^  skelvane -v /-v /p' "$check/x64/$name-windows-x64/README.txt")
    ((${#example[@]} > 0)) || die "README.txt has no example command"
    runsite "$(mktemp -d "$check/site.XXXXXX")" "${wine[@]}" "${example[@]}" || die "README.txt's example under Wine"
    say "x64 skelvane.exe: --version and README.txt's example under 64-bit Wine"
else
    say "skipped: the x64 skelvane.exe under Wine (64-bit Wine is not installed)"
fi

# Debian 11 (glibc 2.31, 2021): the tarball's binary as its README installs
# it, then the package with apt, each running the example site.
bash "$here/packaging/old-linux.sh" "$here/build/bullseye-root" "$dist" "$name" "$deb"

say "made and checked in $dist:"
(cd "$dist" && cat SHA256SUMS)
$untagged && say "a TEST BUILD of an untagged tree: not a release"
exit 0
