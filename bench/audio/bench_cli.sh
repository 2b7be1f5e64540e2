#!/usr/bin/env bash
# Whole-process timing, in one hyperfine run each:
#   1. taln-clean against ffmpeg's afftdn filter and sox's noiseprof + noisered, on a 10-minute
#      stereo 16-bit WAV of speech-like bursts over steady noise (made once by ffmpeg from the
#      M4A below and kept in the work folder), and taln-clean with -j 1 and -j 2 on its left
#      channel alone (a 10-minute mono WAV);
#   2. AudioDecoder alone (taln-decode-bench) against ffmpeg decoding the same recording as a
#      10-minute stereo M4A to f32le at 44,100 Hz.
# Each run writes a new OUTPUT (the last one is removed first, outside the timing). Prints each
# command's mean and its ratio to Taln's (to -j 1 for the mono pair).
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
wav=$work/speech_noise_600s_stereo.wav
mono=$work/speech_noise_600s_mono.wav

"$(dirname "$0")/../make_recording.sh" 600 "$input"
q() { printf '%q' "$1"; }
ff="ffmpeg -nostdin -hide_banner -loglevel error -y"
[[ $wav -nt $input ]] || $ff -i "$input" -c:a pcm_s16le "$wav"
[[ $mono -nt $wav ]] || $ff -i "$wav" -af "pan=mono|c0=c0" -c:a pcm_s16le "$mono"

soxTwoStep="sox -q $(q "$wav") -n noiseprof $(q "$work/noise.prof") && sox -q $(q "$wav") $(q "$work/sox.wav") noisered $(q "$work/noise.prof") 0.21"

# Each run writes a new file: replacing the last run's output would add the file system's work
# of freeing it (0.03 s for 53 MB here) to every command alike.
hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/clean.json" \
    --prepare "rm -f $(q "$work/taln.wav")" --prepare "rm -f $(q "$work/afftdn.wav")" \
    --prepare "rm -f $(q "$work/sox.wav")" \
    -n "taln-clean" "$(q "$clean") $(q "$wav") $(q "$work/taln.wav")" \
    -n "ffmpeg afftdn" "$ff -i $(q "$wav") -af afftdn $(q "$work/afftdn.wav")" \
    -n "sox noiseprof + noisered" "$soxTwoStep"

hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/threads.json" \
    --prepare "rm -f $(q "$work/taln-j1.wav")" --prepare "rm -f $(q "$work/taln-j2.wav")" \
    -n "taln-clean -j 1 (mono)" "$(q "$clean") -j 1 $(q "$mono") $(q "$work/taln-j1.wav")" \
    -n "taln-clean -j 2 (mono)" "$(q "$clean") -j 2 $(q "$mono") $(q "$work/taln-j2.wav")"

hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/decode.json" \
    -n "AudioDecoder" "$(q "$decode") $(q "$input")" \
    -n "ffmpeg to f32le" "$ff -i $(q "$input") -f f32le -ar 44100 /dev/null"

python3 - "$work/clean.json" "$work/threads.json" "$work/decode.json" <<'PY'
import json, sys
for path in sys.argv[1:]:
    results = json.load(open(path))["results"]
    ours = results[0]
    print(f"\n{ours['command']}: {ours['mean']:.3f} s (± {ours['stddev']:.3f})")
    for peer in results[1:]:
        print(f"  {peer['command']}: {peer['mean']:.3f} s (± {peer['stddev']:.3f}), "
              f"Taln / peer = {ours['mean'] / peer['mean']:.2f}")
PY
# The two may cut the channel into different pieces (a piece count is rounded to a multiple of
# the threads), which changes the last bit of a few samples at most.
difference=$(sox -q -m -v 1 "$work/taln-j1.wav" -v -1 "$work/taln-j2.wav" -n stat 2>&1 |
    sed -nE 's/^Maximum amplitude: *([0-9.e+-]+).*/\1/p')
echo "largest difference between the -j 1 and -j 2 outputs: $difference of full scale" \
    "(one 16-bit step is 0.0000305)"
