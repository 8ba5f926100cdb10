#!/usr/bin/env bash
# The bash completion offers the options, the values of --eol and files.
set -u
source "$1"
failures=0
expect() {  # expect "WORDS..." "EXPECTED COMPLETIONS"
    local words=($1)
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$((${#words[@]} - 1))
    [[ $1 == *" " ]] && { COMP_WORDS+=(""); COMP_CWORD=${#words[@]}; }
    COMPREPLY=()
    _skelvane 2>/dev/null
    local got="${COMPREPLY[*]}"
    if [[ $got != "$2" ]]; then
        echo "completing '$1': got '$got', expected '$2'"
        failures=$((failures + 1))
    fi
}
cd "$(mktemp -d)" || exit 1
touch index.html about.html
expect "skelvane --ch" "--check"
expect "skelvane --d" "--diff"
expect "skelvane --s" "--strict --stdout"
expect "skelvane --eol = c" "crlf"
expect "skelvane --eol=k" "keep"
expect "skelvane ind" "index.html"
expect "skelvane -v a" "about.html"
rm -f index.html about.html
echo "$((7 - failures)) passed, $failures failed"
[[ $failures -eq 0 ]]
