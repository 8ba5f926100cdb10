#!/usr/bin/env bash
# Runs skelvane with -v over a copy of the example site and shows what it
# did, leaving the repository untouched. Build first (see README.md).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=${SKELVANE:-$here/../build/release/skelvane}
work=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-example.XXXXXX")
cp -R "$here/site/." "$work"
cd "$work"
"$binary" -v index.html about.html news/2026.html
echo
echo "== index.html after the run (copy in $work) =="
cat index.html
echo
echo "== what changed in index.html =="
diff -u "$here/site/index.html" index.html || true
