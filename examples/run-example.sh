#!/usr/bin/env bash
# Runs skelvane with -v over a copy of the example site, a site with
# folders whose pages share one navigation, and shows what it did, leaving
# the repository untouched. Build first (see README.md).
# With --verify (the test suite), the pages must then be those in
# examples/expected, byte for byte.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=${SKELVANE:-$here/../build/release/skelvane}
pages=(index.html about.html news/index.html blog/2026/first-post.html)
work=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-example.XXXXXX")
cp -R "$here/site/." "$work"
cd "$work"
"$binary" -v --relative --links=relative --mark-current --indent "${pages[@]}"
if [ "${1:-}" = --verify ]; then
    for page in "${pages[@]}"; do cmp "$page" "$here/expected/$page"; done
    rm -rf "$work"
    exit
fi
echo
echo "== blog/2026/first-post.html after the run (copy in $work) =="
cat blog/2026/first-post.html
echo
echo "== what changed in blog/2026/first-post.html =="
diff -u "$here/site/blog/2026/first-post.html" blog/2026/first-post.html || true
