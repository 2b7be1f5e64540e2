#!/usr/bin/env bash
# The window's wait for a long file, measured through the model without a window: loads a
# 30-minute stereo recording with taln-model-bench and compares the time from load() to the
# first published cleaning result with taln-clean's whole run on the same file (decode,
# profile, clean, write), and the model's peak resident memory with the decoded audio.
#
# Bars: first result within 2x of taln-clean; peak memory at most 3x the decoded audio.
#
# Usage: bench/model/bench_model.sh [BUILD_DIR]     (default: build)
# Needs: ffmpeg, /usr/bin/time; the build's taln-model-bench and taln-clean.
# Environment: TALN_BENCH_DIR (work folder, default $TMPDIR/taln-bench), TALN_BENCH_RUNS (3).
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
model=$build/bench/model/taln-model-bench
clean=$build/cli/taln-clean
work=${TALN_BENCH_DIR:-${TMPDIR:-/tmp}/taln-bench}
runs=${TALN_BENCH_RUNS:-3}
for tool in ffmpeg /usr/bin/time python3 "$model" "$clean"; do
    command -v "$tool" >/dev/null || { echo "bench_model.sh: $tool not found" >&2; exit 1; }
done
mkdir -p "$work"
input=$work/speech_noise_1800s_stereo.m4a

"$(dirname "$0")/../make_recording.sh" 1800 "$input"

# Best of `runs` for both, measured in the same invocation.
best_clean=""
for _ in $(seq "$runs"); do
    t=$( { /usr/bin/time -f '%e %M' "$clean" "$input" "$work/model-bench-out.wav" >/dev/null; } 2>&1 | tail -1)
    echo "taln-clean: ${t%% *} s, peak RSS $(( ${t##* } / 1024 )) MiB"
    best_clean=$(python3 -c "import sys; a='$best_clean'; b=float('${t%% *}'); print(b if not a else min(float(a), b))")
done
rm -f "$work/model-bench-out.wav"

best_model=""
line=""
for _ in $(seq "$runs"); do
    line=$(QT_QPA_PLATFORM=offscreen "$model" "$input" | head -1)
    echo "taln-model-bench: $line"
    first=$(sed -E 's/.*load_to_first_result_s=([0-9.]+).*/\1/' <<<"$line")
    best_model=$(python3 -c "import sys; a='$best_model'; b=float('$first'); print(b if not a else min(float(a), b))")
done

python3 - "$best_clean" "$best_model" "$line" <<'PY'
import sys
clean, model = float(sys.argv[1]), float(sys.argv[2])
fields = dict(kv.split("=") for kv in sys.argv[3].split())
ratio_time = model / clean
ratio_mem = float(fields["peak_rss_over_decoded"])
print(f"first result through the model: {model:.2f} s; taln-clean: {clean:.2f} s; "
      f"ratio {ratio_time:.2f} (bar 2.0) {'ok' if ratio_time <= 2.0 else 'OVER'}")
print(f"peak RSS {int(fields['peak_rss_bytes']) / 2**20:.0f} MiB for "
      f"{int(fields['decoded_bytes']) / 2**20:.0f} MiB of decoded audio: "
      f"ratio {ratio_mem:.2f} (bar 3.0) {'ok' if ratio_mem <= 3.0 else 'OVER'}")
PY

# The slider while the file plays from its middle (SDL's dummy output): a second cleaning, heard
# from the playhead first, while the first result is still held.
second=$(QT_QPA_PLATFORM=offscreen "$model" --then 30 "$input" | tail -1)
python3 - "$second" <<'PY'
import sys
f = dict(kv.split("=") for kv in sys.argv[1].split())
print(f"second cleaning (strength 30): heard {float(f['then_audible_s']):.2f} s after the change, "
      f"complete after {float(f['then_complete_s']):.2f} s, "
      f"peak RSS {float(f['second_peak_rss_over_decoded']):.2f}x the decoded audio")
PY
