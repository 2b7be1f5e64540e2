#!/usr/bin/env bash
# The window's exports, plain and normalised to -16 LUFS, on a ten-minute stereo recording:
# makes a ten-minute video (a small picture, 44.1 kHz stereo AAC) for the video exports, then
# runs taln-export-bench, which prints each export's median time, the memory it adds and the
# normalised/plain ratios from the same run.
#
# Bars: a normalised export takes at most 2x the time and 1.3x the peak memory of the plain one.
#
# Usage: bench/model/bench_export.sh [BUILD_DIR]     (default: build)
# Needs: ffmpeg; the build's taln-export-bench.
# Environment: TALN_BENCH_DIR (work folder, default $TMPDIR/taln-bench), TALN_BENCH_RUNS (5).
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
bench=$build/bench/model/taln-export-bench
work=${TALN_BENCH_DIR:-${TMPDIR:-/tmp}/taln-bench}
for tool in ffmpeg "$bench"; do
    command -v "$tool" >/dev/null || { echo "bench_export.sh: $tool not found" >&2; exit 1; }
done
mkdir -p "$work"
video=$work/picture_600s.mp4
if [ ! -s "$video" ]; then
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "color=c=gray:s=64x64:r=5:d=600" \
        -f lavfi -i "sine=f=220:r=44100:d=600" -ac 2 \
        -c:v libx264 -preset ultrafast -c:a aac -shortest "$video.partial.mp4"
    mv "$video.partial.mp4" "$video"
fi
"$bench" --runs "${TALN_BENCH_RUNS:-5}" --video "$video" "$work"
