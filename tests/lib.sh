# Sourced by the shell tests, with the built skelvane as $1: it on PATH (a
# link in work/bin), a scratch folder work removed at the end, fail to count
# a failure (SKELVANE_FAIL_FAST stops at the first), finish to exit with the
# verdict, and the pages and texts the tests write.
set -u
work=$(mktemp -d)
trap 'cd /; rm -rf "$work"' EXIT
mkdir "$work/bin" && ln -s "$(realpath "$1")" "$work/bin/skelvane" || exit 1
export PATH="$work/bin:$PATH"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
    [[ -z ${SKELVANE_FAIL_FAST:-} ]] || exit 1
}
finish() { exit $((failures > 0)); }
# A page that includes PATTERN, its region empty, or holding TEXT.
page() { printf '<body>\n<!--#pattern file="%s" -->\n<!--#endpattern -->\n</body>\n' "$1"; }
region() { printf '%s\n' '<body>' "<!--#pattern file=\"$1\" -->" "$2" '<!--#endpattern -->' '</body>'; }
# FILE's text: on Windows every line end is written CR LF.
text() { if [[ ${SKELVANE_PLATFORM:-} == windows ]]; then tr -d '\r' <"$1"; else cat "$1"; fi; }
