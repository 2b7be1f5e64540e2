#!/bin/sh
# A long fuzzing run, by hand (not in CI): each harness for a set number of executions, going
# on past what it finds, so that one run reports every finding rather than the first.
#
# Usage: fuzz/long.sh BUILD_DIR
#   BUILD_DIR: a build configured with -DTALN_FUZZ=ON whose fuzz/ holds the harnesses.
#   FUZZ_HARNESSES: the harnesses to run, in order (all five unless given).
#   FUZZ_SCALE: multiplies every harness's executions (1 unless given; 0.01 for a trial).
#   FUZZ_SEED: the seed (1).
# The corpus each run grows is kept in fuzz/corpus-run/<harness>/corpus (ignored by git), so a
# later run goes on from it; the seed corpus in fuzz/corpus/<harness> is only read. Inputs
# that fail are saved in fuzz/corpus-run/<harness>/findings, libFuzzer's log beside them.
# Prints, per harness, the executions reached, the time taken and each finding with the first
# line of its report; first, any regress-* input of the seed corpus that still fails.
# Exits 0 when nothing was found, 1 otherwise.
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$1
here=$(cd "$(dirname "$0")" && pwd)
harnesses=${FUZZ_HARNESSES:-fuzz_decoder fuzz_engine fuzz_exporter fuzz_video_exporter fuzz_loudness}
scale=${FUZZ_SCALE:-1}
seed=${FUZZ_SEED:-1}

runs_for() {
    case "$1" in
    fuzz_decoder) base=1000000 ;;
    *) base=200000 ;;
    esac
    awk -v b="$base" -v s="$scale" 'BEGIN { r = int(b * s); print (r < 1 ? 1 : r) }'
}

# The first line of what a failing input reports: the harness's own complaint, a sanitizer's
# summary, or libFuzzer's (a timeout, memory).
first_report_line() {
    grep -m1 -E '^fuzz_[a-z_]+: |^SUMMARY: |ERROR: libFuzzer: (timeout|out-of-memory)|what\(\):' "$1" ||
        echo "(no report; see $1)"
}

found=0
for harness in $harnesses; do
    binary=$build/fuzz/$harness
    if [ ! -x "$binary" ]; then
        echo "$harness: not built in $build/fuzz" >&2
        found=1
        continue
    fi
    run=$here/corpus-run/$harness
    mkdir -p "$run/corpus" "$run/findings"
    for input in "$here/corpus/$harness"/regress-*; do
        [ -f "$input" ] || continue
        if ! "$binary" -timeout=25 -rss_limit_mb=4096 "$input" >"$run/regress.log" 2>&1; then
            echo "$harness: $(basename "$input") still fails: $(first_report_line "$run/regress.log")"
            found=1
        fi
    done
    rm -f "$run/regress.log"

    runs=$(runs_for "$harness")
    echo "== $harness: $runs executions from seed $seed (log: $run/log)"
    before=$(ls "$run/findings" | wc -l)
    start=$(date +%s)
    # One worker process at a time (-fork=1), restarted after a finding, which is saved and
    # counted instead of ending the run.
    "$binary" -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 -runs="$runs" \
        -seed="$seed" -timeout=25 -rss_limit_mb=4096 -artifact_prefix="$run/findings/" \
        "$run/corpus" "$here/corpus/$harness" >"$run/log" 2>&1
    seconds=$(($(date +%s) - start))
    reached=$(grep -E '^#[0-9]+:' "$run/log" | tail -n 1 | sed -E 's/^#([0-9]+):.*/\1/')
    echo "$harness: ${reached:-0} executions in $seconds s; corpus $(ls "$run/corpus" | wc -l) inputs"
    after=$(ls "$run/findings" | wc -l)
    if [ "$after" -gt "$before" ]; then
        found=1
        echo "$harness: $((after - before)) new findings in $run/findings:"
        # Each new finding run once more, for its report; the same report is counted, not
        # repeated.
        ls -t "$run/findings" | head -n $((after - before)) | while read -r name; do
            "$binary" -timeout=25 -rss_limit_mb=4096 "$run/findings/$name" >"$run/finding.log" 2>&1
            echo "$(first_report_line "$run/finding.log")|$name"
        done | sort | awk -F'|' '{ n[$1]++; if (!($1 in first)) first[$1] = $2 }
            END { for (r in n) printf "  %d x %s (e.g. %s)\n", n[r], r, first[r] }'
        rm -f "$run/finding.log"
    fi
done
if [ "$found" -ne 0 ]; then
    echo "fuzz long: findings above"
    exit 1
fi
echo "fuzz long: no findings"
