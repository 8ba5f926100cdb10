#!/usr/bin/env bash
# packaging/old-linux.sh ROOT DIST NAME DEB: in a copy of a Debian 11 root
# (glibc 2.31), installs the Linux tarball DIST/NAME-linux-x86_64.tar.gz as
# README.md says, and again as the tarball's README says (as root, so
# without sudo), runs the tarball README's example with it, then installs
# the package DIST/DEB as README.md says (apt) and runs the example again.
# Debian 11 stands for the older systems the release binary must run on: a
# binary that needs a newer glibc stops there with "GLIBC_2.xx not found".
# ROOT is made once with debootstrap (about 90 s, 215 MB) and reused; the
# run works in a scratch copy. Says "skipped" and succeeds when not root or
# without debootstrap, which the check needs.
set -euo pipefail
root=$1 dist=$2 name=$3 deb=$4
here=$(cd "$(dirname "$0")/.." && pwd)
say() { echo "old-linux: $*"; }
if [[ $(id -u) != 0 ]]; then
    say "skipped: Debian 11 needs chroot, which needs root"
    exit 0
fi
if ! command -v debootstrap >/dev/null; then
    say "skipped: debootstrap is missing (apt-get install debootstrap)"
    exit 0
fi
if [[ ! -x $root/bin/bash ]]; then
    say "making a Debian 11 root in $root (once)"
    rm -rf "$root.partial"
    debootstrap --variant=minbase bullseye "$root.partial" http://deb.debian.org/debian >"$root.log" 2>&1 ||
        { tail -5 "$root.log" >&2; say "debootstrap failed (its log: $root.log)" >&2; exit 1; }
    mv "$root.partial" "$root"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-old-linux.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/root" && cp -a "$root/." "$work/root/"
mkdir -p "$work/root/release" "$work/root/expected"
cp "$dist/$name-linux-x86_64.tar.gz" "$dist/$deb" "$work/root/release/"
cp -R "$here/examples/expected/." "$work/root/expected/"
tar -xzOf "$dist/$name-linux-x86_64.tar.gz" "$name-linux-x86_64/README.md" >"$work/README.md"
# snippet FILE START: the lines of the first ``` block after the line that begins with START.
snippet() { awk -v start="$2" 'index($0, start) == 1 { found = 1 } found && /^ *```/ { if (inside) exit; inside = 1; next } inside' "$1"; }
# As pasted by root (no sudo), with the file names this run made.
pasted() { sed -e 's/^ *sudo //' -e "s/skelvane-$version-/$name-/g" -e "s/skelvane_${version}_amd64.deb/$deb/g"; }
version=${name#skelvane-} version=${version%-untagged}
download=$(snippet "$here/README.md" "- **Linux, any distribution" | pasted)
inarchive=$(snippet "$work/README.md" "In this folder, for every user" | pasted)
example=$(snippet "$work/README.md" "## Try it")
apt=$(grep -o 'sudo apt install \./skelvane_[^`]*' "$here/README.md" | pasted)
[[ -n $download && -n $inarchive && -n $example && -n $apt ]] ||
    { say "README.md or the tarball's README lacks its install or example commands" >&2; exit 1; }
# The root must be old enough to catch what it is for: a program linked here
# against this machine's glibc (2.34 or newer) must not load there.
newest=$(printf 'int main() { return 0; }\n' | c++ -x c++ -o "$work/root/probe" - 2>/dev/null &&
         objdump -T "$work/root/probe" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -1) || newest=
if [[ -n $newest && $(printf '%s\n' GLIBC_2.31 "$newest" | sort -V | tail -1) != GLIBC_2.31 ]]; then
    chroot "$work/root" /probe 2>"$work/probe.err" && { say "$root runs a program that needs a newer glibc" >&2; exit 1; }
    grep -q "version .GLIBC_2\.[0-9]*' not found" "$work/probe.err" ||
        { say "a program that needs a newer glibc fails in $root, but not for that: $(cat "$work/probe.err")" >&2; exit 1; }
    say "Debian 11 refuses a program built here, as it should: $(grep -o "version .GLIBC_[0-9.]*' not found" "$work/probe.err" | head -1)"
fi
pages="index.html about.html news/index.html blog/2026/first-post.html"
installed="/usr/local/bin/skelvane /usr/local/share/man/man1/skelvane.1 /usr/local/share/bash-completion/completions/skelvane"
chroot "$work/root" /bin/bash -euc "
    cd /release
    $download
    ls $installed >/dev/null
    rm $installed
    $inarchive
    ls $installed >/dev/null
    skelvane --version
    $example >/dev/null
    for page in $pages; do cmp \$page /expected/\$page; done
    rm -rf /tmp/skelvane-example $installed && hash -r
    cd /release
    $apt >/dev/null 2>&1 || $apt
    cd /release/$name-linux-x86_64
    $example >/dev/null
    for page in $pages; do cmp \$page /expected/\$page; done
    [[ \$(command -v skelvane) == /usr/bin/skelvane ]]
" || { say "the release fails on Debian 11" >&2; exit 1; }
say "Debian 11: the tarball installed as both READMEs say, and the .deb with apt; each ran the example site"
