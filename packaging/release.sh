#!/usr/bin/env bash
# packaging/release.sh VERSION [DIST]: builds the release archives into DIST
# (dist/ by default) and checks each one unpacked in a scratch folder:
#   skelvane-VERSION-linux-x86_64.tar.gz  binary (stripped), manual page,
#                                         completion, README, LICENSE
#   skelvane_VERSION_*.deb                 the Debian package
#   skelvane-VERSION-windows-x86.zip      skelvane.exe (32-bit, shipped),
#   skelvane-VERSION-windows-x64.zip      README.txt, LICENSE.txt, INSTALL.txt
#                                         with CR LF line ends
#   SHA256SUMS                            over all of them
# The check runs the Linux binary's --version and the example site, and the
# x64 skelvane.exe the same under 64-bit Wine where it is installed.
set -euo pipefail
version=${1:?usage: packaging/release.sh VERSION [DIST]}
here=$(cd "$(dirname "$0")/.." && pwd)
dist=$(mkdir -p "${2:-$here/dist}" && cd "${2:-$here/dist}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
say() { echo "release: $*"; }
die() { echo "release: $*" >&2; exit 1; }
for tool in cmake ninja zip unzip sha256sum file dpkg-deb strip x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix; do
    # 77: a skip for CTest, which runs this as a test.
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing (.ci/run lists the packages)"; exit 77; }
done
name=skelvane-$version
rm -f "$dist"/skelvane-"$version"-* "$dist"/skelvane_"$version"_*.deb "$dist"/SHA256SUMS

# Linux: libstdc++ linked in, so the binary runs beside any C++ runtime.
build=$here/build/release-archive
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKELVANE_TESTS=OFF \
      -DCMAKE_EXE_LINKER_FLAGS="-static-libstdc++ -static-libgcc" >/dev/null
cmake --build "$build" --target skelvane >/dev/null
"$build/skelvane" --version | grep -qx "skelvane, HTML pattern includer, v. $version" ||
    die "the program says $("$build/skelvane" --version), not v. $version"
mkdir "$work/$name"
cp "$build/skelvane" "$work/$name/" && strip "$work/$name/skelvane"
cp "$here/doc/skelvane.1" "$here/README.md" "$here/LICENSE" "$work/$name/"
cp "$here/completion/skelvane" "$work/$name/skelvane.bash-completion"
tar -C "$work" --owner=0 --group=0 -czf "$dist/$name-linux-x86_64.tar.gz" "$name"
(cd "$build" && cpack -G DEB -B "$work/deb" -D CPACK_PACKAGE_VERSION="$version" -D CPACK_STRIP_FILES=ON >/dev/null)
cp "$work"/deb/skelvane_"$version"_*.deb "$dist/"

# Windows: the text files as Windows editors expect them.
crlf() { sed -e 's/\r$//' -e 's/$/\r/' "$1" >"$2"; }
for arch in x86 x64; do
    # A build folder of its own, apart from the tests' (which may run meanwhile).
    case $arch in
    x86) toolchain=$here/cmake/mingw-i686.cmake strip=i686-w64-mingw32-strip ;;
    x64) toolchain=$here/cmake/mingw-x86_64.cmake strip=x86_64-w64-mingw32-strip ;;
    esac
    cmake -S "$here" -B "$here/build/release-archive-$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DSKELVANE_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
    cmake --build "$here/build/release-archive-$arch" --target skelvane >/dev/null
    folder=$work/windows-$arch/$name
    mkdir -p "$folder"
    cp "$here/build/release-archive-$arch/skelvane.exe" "$folder/"
    "$strip" "$folder/skelvane.exe"
    crlf "$here/README.md" "$folder/README.txt"
    crlf "$here/LICENSE" "$folder/LICENSE.txt"
    printf '%s\n' "skelvane $version for Windows ($arch)" "" \
        "1. Put this folder on your PATH (Settings > System > About > Advanced system settings >" \
        "   Environment Variables > Path > Edit > New), or copy skelvane.exe into a folder that is on it." \
        "2. Open a new Command Prompt or PowerShell and check:" "" "     skelvane --version" "" \
        "3. Then, in your site's folder:" "" "     skelvane -v *.html" "" \
        "README.txt tells the rest; LICENSE.txt is the MIT license." >"$work/INSTALL"
    crlf "$work/INSTALL" "$folder/INSTALL.txt"
    (cd "$work/windows-$arch" && zip -q -r -X "$dist/$name-windows-$arch.zip" "$name")
done
(cd "$dist" && sha256sum "$name"-* skelvane_"$version"_*.deb >SHA256SUMS)

# The check: each archive unpacked as a user would, then run.
check=$work/check
mkdir "$check"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || die "SHA256SUMS does not match"
runsite() {  # RUN...: the example site, as its pages must come out (line ends aside)
    local site
    site=$(mktemp -d "$check/site.XXXXXX")
    cp -R "$here/examples/site/." "$site"
    local pages="index.html about.html news/index.html blog/2026/first-post.html"
    (cd "$site" && "$@" -v --relative --links=relative --mark-current --indent $pages >/dev/null) || return 1
    for page in $pages; do
        tr -d '\r' <"$site/$page" | cmp -s - "$here/examples/expected/$page" || { echo "$page differs"; return 1; }
    done
}
tar -C "$check" -xzf "$dist/$name-linux-x86_64.tar.gz"
for file in skelvane skelvane.1 skelvane.bash-completion README.md LICENSE; do
    [[ -f $check/$name/$file ]] || die "$name-linux-x86_64.tar.gz lacks $file"
done
file "$check/$name/skelvane" | grep -q "not stripped" && die "the Linux binary is not stripped"
"$check/$name/skelvane" --version | grep -qx "skelvane, HTML pattern includer, v. $version" || die "the Linux binary's --version"
runsite "$check/$name/skelvane" || die "the Linux binary on the example site"
dpkg-deb --field "$dist"/skelvane_"$version"_*.deb Version | grep -qx "$version" || die "the .deb's version"
for arch in x86 x64; do
    mkdir "$check/$arch"
    unzip -q "$dist/$name-windows-$arch.zip" -d "$check/$arch"
    for file in skelvane.exe README.txt LICENSE.txt INSTALL.txt; do
        [[ -f $check/$arch/$name/$file ]] || die "$name-windows-$arch.zip lacks $file"
    done
    for file in README.txt LICENSE.txt INSTALL.txt; do
        # Every line ends in CR LF: no LF without its CR.
        ! grep -q $'[^\r]$' "$check/$arch/$name/$file" && grep -q $'\r$' "$check/$arch/$name/$file" ||
            die "$file in $name-windows-$arch.zip has line ends other than CR LF"
    done
done
file "$check/x86/$name/skelvane.exe" | grep -q "PE32 executable" || die "the x86 archive's skelvane.exe is not 32-bit"
if [[ -x /usr/lib/wine/wine64 ]]; then
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX="${WINEPREFIX:-$HOME/.wine-skelvane64}"
    wine=(/usr/lib/wine/wine64 "$check/x64/$name/skelvane.exe")
    "${wine[@]}" --version | tr -d '\r' | grep -qx "skelvane, HTML pattern includer, v. $version" ||
        die "the x64 skelvane.exe's --version under Wine"
    runsite "${wine[@]}" || die "the x64 skelvane.exe on the example site under Wine"
    say "x64 skelvane.exe: --version and the example site under 64-bit Wine"
else
    say "skipped: the x64 skelvane.exe under Wine (64-bit Wine is not installed)"
fi
say "made and checked in $dist:"
(cd "$dist" && cat SHA256SUMS)
