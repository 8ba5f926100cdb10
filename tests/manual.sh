#!/usr/bin/env bash
# manual.sh PAGE SKELVANE-DIR: the page's EXAMPLES as written: each "$ " line
# runs in one fresh directory, and the lines after it are its exact output.
. "$(dirname "$0")/lib.sh" "$2/skelvane"
set -eo pipefail
# The example blocks, with the page's escapes for - and \ undone.
sed -n '/^\.SH EXAMPLES/,/^\.SH /p' "$1" | sed -n '/^\.EX/,/^\.EE/{/^\.E[XE]/d;p}' |
    sed -e 's/\\-/-/g' -e 's/\\e/\\/g' >"$work/expected"
grep -c '^\$ ' "$work/expected" | grep -qv '^[0-4]$' || { echo "fewer than 5 examples" >&2; exit 1; }
mkdir "$work/site" && cd "$work/site"
while IFS= read -r line; do
    [[ $line == '$ '* ]] || continue
    printf '%s\n' "$line"
    bash -c "${line#\$ }" 2>/dev/null || true
done <"$work/expected" >"$work/actual"
diff -u "$work/expected" "$work/actual"
