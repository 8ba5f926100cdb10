#!/usr/bin/env bash
# completion_test.sh COMPLETION SKELVANE: the bash completion offers the
# options, the values of --eol and --links, and files (also for
# --files-from); the options are those the program's help lists.
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
COMP_WORDS=(skelvane -) COMP_CWORD=1 COMPREPLY=()
_skelvane 2>/dev/null
offered=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
listed=$("$2" --help | sed -n 's/^  \(-[a-z]\), \(--[a-z-]*\).*/\1\n\2/p; s/^      \(--[a-z-]*=\{0,1\}\).*/\1/p' | sort)
[[ -n $listed && $offered == "$listed" ]] ||
    { echo "the completion offers: $(echo $offered); the help lists: $(echo $listed)"; ((failures++)); }
((failures == 0))
