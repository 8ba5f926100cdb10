#!/usr/bin/env bash
# Runs skelvane with -v over a copy of the example site and shows what it
# did, leaving the repository untouched. Build first (see README.md).
# With --verify (the test suite), the pages must then be those in
# examples/expected, byte for byte.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=${SKELVANE:-$here/../build/release/skelvane}
work=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-example.XXXXXX")
cp -R "$here/site/." "$work"
cd "$work"
"$binary" -v index.html about.html news/2026.html
if [ "${1:-}" = --verify ]; then
    for page in index.html about.html news/2026.html; do cmp "$page" "$here/expected/$page"; done
    rm -rf "$work"
    exit
fi
echo
echo "== index.html after the run (copy in $work) =="
cat index.html
echo
echo "== what changed in index.html =="
diff -u "$here/site/index.html" index.html || true
