#!/usr/bin/env bash
# Whole-process timing, in one hyperfine run each, on a 10-minute stereo M4A of speech-like
# bursts over steady noise (made once by ffmpeg and kept in the work folder):
#   1. taln-clean against ffmpeg's afftdn filter and sox's noiseprof + noisered;
#   2. AudioDecoder alone (taln-decode-bench) against ffmpeg decoding to f32le at 44,100 Hz.
# Prints each command's mean and its ratio to Taln's.
#
# Usage: bench/audio/bench_cli.sh [BUILD_DIR]     (default: build)
# Needs: ffmpeg, sox, hyperfine, python3; the build's taln-clean and taln-decode-bench.
# Environment: TALN_BENCH_DIR (work folder, default $TMPDIR/taln-bench), TALN_BENCH_RUNS (5).
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
clean=$build/cli/taln-clean
decode=$build/bench/audio/taln-decode-bench
work=${TALN_BENCH_DIR:-${TMPDIR:-/tmp}/taln-bench}
runs=${TALN_BENCH_RUNS:-5}
for tool in ffmpeg sox hyperfine python3 "$clean" "$decode"; do
    command -v "$tool" >/dev/null || { echo "bench_cli.sh: $tool not found" >&2; exit 1; }
done
mkdir -p "$work"
input=$work/speech_noise_600s_stereo.m4a

"$(dirname "$0")/../make_recording.sh" 600 "$input"

q() { printf '%q' "$1"; }
ff="ffmpeg -nostdin -hide_banner -loglevel error -y"
# sox reads no M4A: both of its steps get the audio decoded by ffmpeg through a pipe.
toWav="$ff -i $(q "$input") -f wav -"
soxTwoStep="$toWav | sox -q -t wav - -n noiseprof $(q "$work/noise.prof") && $toWav | sox -q -t wav - $(q "$work/sox.wav") noisered $(q "$work/noise.prof") 0.21"

hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/clean.json" \
    -n "taln-clean" "$(q "$clean") $(q "$input") $(q "$work/taln.wav")" \
    -n "ffmpeg afftdn" "$ff -i $(q "$input") -af afftdn $(q "$work/afftdn.wav")" \
    -n "sox noiseprof + noisered" "$soxTwoStep"

hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/decode.json" \
    -n "AudioDecoder" "$(q "$decode") $(q "$input")" \
    -n "ffmpeg to f32le" "$ff -i $(q "$input") -f f32le -ar 44100 /dev/null"

python3 - "$work/clean.json" "$work/decode.json" <<'PY'
import json, sys
for path in sys.argv[1:]:
    results = json.load(open(path))["results"]
    ours = results[0]
    print(f"\n{ours['command']}: {ours['mean']:.3f} s (± {ours['stddev']:.3f})")
    for peer in results[1:]:
        print(f"  {peer['command']}: {peer['mean']:.3f} s (± {peer['stddev']:.3f}), "
              f"Taln / peer = {ours['mean'] / peer['mean']:.2f}")
PY
