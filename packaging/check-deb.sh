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
for file in usr/bin/skelvane usr/share/man/man1/skelvane.1.gz usr/share/bash-completion/completions/skelvane \
            usr/share/doc/skelvane/copyright usr/share/doc/skelvane/changelog.gz; do
    [ -f "$work/root/$file" ] || { echo "missing from the package: /$file"; exit 1; }
done
[ "$("$work/root/usr/bin/skelvane" --version)" = "skelvane, HTML pattern includer, v. 1.0" ]
grep -q "^License: Expat" "$work/root/usr/share/doc/skelvane/copyright"
# What the binary links dynamically, the package must name, with the versions it needs.
for library in $(objdump -p "$work/root/usr/bin/skelvane" | sed -n 's/^ *NEEDED *lib\([a-z+]*\).*/\1/p'); do
    [ "$library" = m ] || dpkg-deb --field "$deb" Depends | grep -q "lib${library//+/\\+}[^,]*(>= " ||
        { echo "the package does not name lib$library with a version: $(dpkg-deb --field "$deb" Depends)"; exit 1; }
done
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" 2>/dev/null || { echo "lintian finds fault with the package"; exit 1; }
fi
echo "$(basename "$deb"): binary, manual page, completion and copyright present"
