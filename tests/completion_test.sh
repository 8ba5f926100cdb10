#!/usr/bin/env bash
# The bash completion offers the options, the values of --eol and --links,
# and files (also for --files-from).
set -u
source "$1"
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT && cd "$dir" && touch index.html about.html || exit 1
failures=0
while IFS='|' read -r line expected; do
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMPREPLY=()
    _skelvane 2>/dev/null
    [[ "${COMPREPLY[*]}" == "$expected" ]] || { echo "'$line': got '${COMPREPLY[*]}', expected '$expected'"; ((failures++)); }
done <<'EOF_CASES'
skelvane --ch|--check
skelvane --d|--diff
skelvane --s|--strict --stdout
skelvane --eol = c|crlf
skelvane --eol=k|keep
skelvane --f|--files-from=
skelvane --n|--null
skelvane --w|--watch
skelvane --r|--root= --relative
skelvane --l|--links=
skelvane --links=r|relative
skelvane --links = |relative
skelvane --m|--mark-current
skelvane --i|--if-changed --indent
skelvane --files-from=ab|about.html
skelvane ind|index.html
skelvane -v a|about.html
EOF_CASES
((failures == 0))
