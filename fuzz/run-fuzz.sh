#!/usr/bin/env bash
# run-fuzz.sh [SECONDS]: builds the fuzz target and runs it from the seeds
# (default 120 s); non-zero on any finding, then executions and coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz --target directive_fuzz
corpus=$(mktemp -d "${TMPDIR:-/tmp}/skelvane-corpus.XXXXXX")
trap 'rm -rf "$corpus" "$corpus.log"' EXIT
status=0
build/fuzz/directive_fuzz -max_total_time="${1:-120}" -print_final_stats=1 -max_len=4096 \
    -artifact_prefix="${TMPDIR:-/tmp}/skelvane-fuzz-" "$corpus" fuzz/seeds >"$corpus.log" 2>&1 || status=$?
{ grep -E '^#[0-9]+.*(DONE|cov:)' "$corpus.log" || true; } | tail -n 1
grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$corpus.log" || true
[ "$status" -eq 0 ] || { tail -n 40 "$corpus.log"; echo "fuzzing found a problem (exit $status)" >&2; }
exit "$status"
