#!/usr/bin/env bash
# A 3-hour stereo recording through taln-clean and through the model (taln-stress-model):
# peak resident memory of each against the decoded audio, and the longest time the model's
# main thread was kept from its event loop while the file loaded, played, cleaned and was
# exported.
#
# Bars: the main thread never stalls for more than 50 ms; taln-clean and the model's first
# result within 3x the decoded audio in peak memory. (The model's full run holds the original
# and two cleaned versions at once when the strength changes while playing, so its peak over
# the whole run is reported for information.)
#
# Usage: bench/stress/run_long.sh [BUILD_DIR] [SECONDS]     (defaults: build, 10800)
# Needs: ffmpeg, /usr/bin/time, python3; the build's taln-clean and taln-stress-model.
# Environment: TALN_BENCH_DIR (work folder, default $TMPDIR/taln-bench); TALN_STRESS_RELOAD=1
# also loads the file a second time over the first (the earlier file stays held meanwhile).
# Run one such job at a time: a 3-hour stereo file is 3.8 GB decoded.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
seconds=${2:-10800}
clean=$build/cli/taln-clean
model=$build/bench/stress/taln-stress-model
work=${TALN_BENCH_DIR:-${TMPDIR:-/tmp}/taln-bench}
for tool in ffmpeg /usr/bin/time python3 "$clean" "$model"; do
    command -v "$tool" >/dev/null || { echo "run_long.sh: $tool not found" >&2; exit 1; }
done
mkdir -p "$work"
input=$work/speech_noise_${seconds}s_stereo.m4a
"$(dirname "$0")/../make_recording.sh" "$seconds" "$input"
decoded=$((seconds * 44100 * 2 * 4))

# Peak RSS (KiB) and wall time from /usr/bin/time -v's report in file $1.
field() { sed -nE "s/^\s*$2: (.*)$/\1/p" "$1"; }

echo "== taln-clean on $seconds s of stereo"
/usr/bin/time -v "$clean" "$input" "$work/stress-clean.wav" 2>"$work/time-clean.txt" >/dev/null
clean_rss=$(field "$work/time-clean.txt" "Maximum resident set size \(kbytes\)")
echo "wall $(field "$work/time-clean.txt" "Elapsed \(wall clock\) time \(h:mm:ss or m:ss\)"), peak RSS $((clean_rss / 1024)) MiB"
rm -f "$work/stress-clean.wav"

echo "== the model on the same file"
args=(--export "$work/stress-model.wav")
[ "${TALN_STRESS_RELOAD:-0}" = 1 ] && args+=(--reload)
QT_QPA_PLATFORM=offscreen /usr/bin/time -v "$model" "${args[@]}" "$input" \
    2>"$work/time-model.txt" | tee "$work/model.txt"
model_rss=$(field "$work/time-model.txt" "Maximum resident set size \(kbytes\)")
rm -f "$work/stress-model.wav"

python3 - "$decoded" "$clean_rss" "$model_rss" "$work/model.txt" <<'PY'
import sys
decoded, clean_kib, model_kib = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
first = open(sys.argv[4]).readline().split()
f = dict(kv.split("=") for kv in first)
stall = float(f["longest_stall_ms"])
cpu = float(f["longest_main_thread_cpu_in_one_gap_ms"])
mib = 2**20
print(f"decoded audio {decoded / mib:.0f} MiB")
print(f"taln-clean peak RSS {clean_kib * 1024 / mib:.0f} MiB = {clean_kib * 1024 / decoded:.2f}x "
      f"the decoded audio (bar 3.0) {'ok' if clean_kib * 1024 <= 3 * decoded else 'OVER'}")
print(f"model peak RSS over the whole run {model_kib * 1024 / mib:.0f} MiB = "
      f"{model_kib * 1024 / decoded:.2f}x the decoded audio")
print(f"longest main-thread stall {stall:.1f} ms, of it main-thread work {cpu:.1f} ms at most "
      f"(bar 50 ms) {'ok' if stall <= 50 else 'OVER'}; gaps over 50 ms: {f['stalls_over_50ms']}")
PY
