#!/usr/bin/env bash
# Builds the Debian package from a release build directory with cpack,
# unpacks it into a scratch root and checks what it installs.
set -euo pipefail
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/skelvane_*.deb)
[ "$(dpkg-deb --field "$deb" Package)" = skelvane ]
dpkg -x "$deb" "$work/root"
for file in usr/bin/skelvane usr/share/man/man1/skelvane.1 usr/share/bash-completion/completions/skelvane \
            usr/share/doc/skelvane/copyright; do
    [ -f "$work/root/$file" ] || { echo "missing from the package: /$file"; exit 1; }
done
[ "$("$work/root/usr/bin/skelvane" --version)" = "skelvane, HTML pattern includer, v. 1.0" ]
grep -q "^License: Expat" "$work/root/usr/share/doc/skelvane/copyright"
echo "$(basename "$deb"): binary, manual page, completion and copyright present"
