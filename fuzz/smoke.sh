#!/bin/sh
# A short fuzzing pass for CI: each harness runs over its seed corpus (fuzz/corpus/<name>/,
# which also holds every input that once found a fault) and then fuzzes for a few seconds.
#
# Usage: fuzz/smoke.sh BUILD_DIR [SECONDS_PER_HARNESS]
#   BUILD_DIR: a build configured with -DTALN_FUZZ=ON whose fuzz/ holds the three
#   harnesses. SECONDS_PER_HARNESS: 20 unless given (about a minute in all).
# Exits 0 when no harness found anything; otherwise 1, with each finding's report and the
# input that caused it (saved under the run's temporary folder, which is then kept).
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS_PER_HARNESS]" >&2
    exit 2
fi
build=$1
seconds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/taln-fuzz-smoke.XXXXXX") || exit 2

failed=""
for harness in fuzz_decoder fuzz_engine fuzz_exporter; do
    binary=$build/fuzz/$harness
    if [ ! -x "$binary" ]; then
        echo "$harness: not built in $build/fuzz" >&2
        failed="$failed $harness"
        continue
    fi
    # New inputs go to a scratch corpus; the seed corpus in the repository is only read.
    mkdir -p "$work/$harness/corpus"
    echo "== $harness: seed corpus, then ${seconds} s of fuzzing"
    if "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$work/$harness/" \
        "$work/$harness/corpus" "$here/corpus/$harness" >"$work/$harness/log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec)|^#[0-9]+[[:space:]]+DONE' "$work/$harness/log"
    else
        echo "$harness FOUND A FAULT (report: $work/$harness/log):" >&2
        grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$work/$harness/log" | tail -n 40 >&2
        failed="$failed $harness"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzz smoke failed:$failed (inputs and logs kept in $work)" >&2
    exit 1
fi
rm -rf "$work"
echo "fuzz smoke: no findings"
