#!/usr/bin/env bash
# Whole-process timing, in one hyperfine run each:
#   1. taln-clean against ffmpeg's afftdn filter and sox's noiseprof + noisered, on a 10-minute
#      stereo 16-bit WAV of speech-like bursts over steady noise (made once by ffmpeg from the
#      M4A below and kept in the work folder), and taln-clean with -j 1 and -j 2 on its left
#      channel alone (a 10-minute mono WAV);
#   2. AudioDecoder alone (taln-decode-bench) against ffmpeg decoding the same recording as a
#      10-minute stereo M4A to f32le at 44,100 Hz;
#   3. taln-clean's exports of the 10-minute stereo WAV: plain (to WAV), normalised
#      (--loudness -16, to WAV) and a video (a 10-minute video with that sound as AAC, to MP4),
#      run in turn TALN_BENCH_RUNS times, each timed by /usr/bin/time -v: the median wall time
#      and peak resident memory of each, and their ratios to the plain export's.
# Each run writes a new OUTPUT (the last one is removed first, outside the timing). Prints each
# command's mean and its ratio to Taln's (to -j 1 for the mono pair).
#
# Usage: bench/audio/bench_cli.sh [BUILD_DIR]     (default: build)
# Needs: ffmpeg, sox, hyperfine, python3, GNU time (/usr/bin/time); the build's taln-clean and
# taln-decode-bench.
# Environment: TALN_BENCH_DIR (work folder, default $TMPDIR/taln-bench), TALN_BENCH_RUNS (5).
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
clean=$build/cli/taln-clean
decode=$build/bench/audio/taln-decode-bench
work=${TALN_BENCH_DIR:-${TMPDIR:-/tmp}/taln-bench}
runs=${TALN_BENCH_RUNS:-5}
for tool in ffmpeg sox hyperfine python3 /usr/bin/time "$clean" "$decode"; do
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
# The sound of a screencast: a small picture, the recording's AAC copied.
video=$work/speech_noise_600s_stereo.mp4
[[ $video -nt $input ]] || $ff -f lavfi -i "color=c=gray:s=160x120:r=5" -i "$input" -shortest \
    -map 0:v -map 1:a -c:v mpeg4 -c:a copy "$video"

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

# The exports, in turn, so that the machine's load falls on each alike.
exports=$work/exports.txt
: > "$exports"
for run in $(seq "$runs"); do
    for name in plain loudness video; do
        case $name in
        plain) args=("$wav" "$work/export.wav") ;;
        loudness) args=(--loudness -16 "$wav" "$work/export.wav") ;;
        video) args=("$video" "$work/export.mp4") ;;
        esac
        rm -f "$work/export.wav" "$work/export.mp4"
        /usr/bin/time -v -o "$work/time.txt" "$clean" "${args[@]}"
        printf '%s %s %s\n' "$name" \
            "$(sed -nE 's/.*Elapsed \(wall clock\) time.*: (.*)/\1/p' "$work/time.txt")" \
            "$(sed -nE 's/.*Maximum resident set size \(kbytes\): ([0-9]+)/\1/p' "$work/time.txt")" \
            >> "$exports"
    done
done
python3 - "$exports" <<'PY'
import statistics, sys
def seconds(clock):  # [h:]m:ss.ss
    value = 0.0
    for part in clock.split(":"):
        value = value * 60 + float(part)
    return value
runs = {}
for line in open(sys.argv[1]):
    name, clock, kilobytes = line.split()
    runs.setdefault(name, []).append((seconds(clock), int(kilobytes) / 1024))
print("\ntaln-clean exports of the 10-minute stereo recording (median of %d runs each):"
      % len(runs["plain"]))
plain = [statistics.median(v) for v in zip(*runs["plain"])]
for name in ("plain", "loudness", "video"):
    time, memory = (statistics.median(v) for v in zip(*runs[name]))
    print(f"  {name:8s} {time:6.2f} s, peak {memory:6.0f} MB"
          f"   ({time / plain[0]:.2f}x the time, {memory / plain[1]:.2f}x the memory of plain)")
PY
