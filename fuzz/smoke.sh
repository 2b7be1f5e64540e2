#!/bin/sh
# A short fuzzing pass for CI: each harness runs over its seed corpus (fuzz/corpus/<name>/,
# which also holds every input that once found a fault) and then fuzzes for a fixed number
# of executions from a fixed seed, so that a run is repeatable: CI fails on a fault, never on
# the luck of the draw. About 20 s per harness here.
#
# Usage: fuzz/smoke.sh BUILD_DIR [SCALE]
#   BUILD_DIR: a build configured with -DTALN_FUZZ=ON whose fuzz/ holds the five
#   harnesses. SCALE multiplies the executions (1 unless given). FUZZ_SEED: the seed (1).
# Exits 0 when no harness found anything; otherwise 1, with each finding's report and the
# input that caused it (saved under the run's temporary folder, which is then kept).
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [SCALE]" >&2
    exit 2
fi
build=$1
scale=${2:-1}
seed=${FUZZ_SEED:-1}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/taln-fuzz-smoke.XXXXXX") || exit 2

failed=""
# Executions per harness: about 20 s each at the rates measured here (decoder about 450
# executions a second, engine 250, exporter 80, video exporter 25, loudness 140).
runs_for() {
    case "$1" in
    fuzz_decoder) echo $((9000 * scale)) ;;
    fuzz_engine) echo $((5000 * scale)) ;;
    fuzz_video_exporter) echo $((500 * scale)) ;;
    fuzz_loudness) echo $((2800 * scale)) ;;
    *) echo $((1600 * scale)) ;;
    esac
}

for harness in fuzz_decoder fuzz_engine fuzz_exporter fuzz_video_exporter fuzz_loudness; do
    binary=$build/fuzz/$harness
    runs=$(runs_for "$harness")
    if [ ! -x "$binary" ]; then
        echo "$harness: not built in $build/fuzz" >&2
        failed="$failed $harness"
        continue
    fi
    # New inputs go to a scratch corpus; the seed corpus in the repository is only read.
    mkdir -p "$work/$harness/corpus"
    echo "== $harness: seed corpus, then $runs executions from seed $seed"
    if "$binary" -runs="$runs" -seed="$seed" -timeout=25 -rss_limit_mb=4096 \
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
