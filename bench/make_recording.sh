#!/usr/bin/env bash
# Makes a speech-like stereo test recording: a 170 Hz voice with harmonics, syllables at
# 3 Hz, talking half of every 2 s (a little different on each side), over pink noise (a fan)
# and a 50 Hz hum. The format follows OUTPUT's extension (the benchmarks use AAC in .m4a).
#
# Usage: bench/make_recording.sh SECONDS OUTPUT     (does nothing if OUTPUT exists)
set -euo pipefail
seconds=$1
output=$2
[ -s "$output" ] && exit 0
echo "Making $output ($seconds s, stereo)..."
voice='(0.3*sin(2*PI*170*t)+0.15*sin(2*PI*340*t)+0.08*sin(2*PI*510*t))*gt(sin(2*PI*3*t)\,0.2)*gt(sin(2*PI*0.5*t)\,0)'
voiceRight='(0.3*sin(2*PI*190*t)+0.15*sin(2*PI*380*t))*gt(sin(2*PI*2.7*t)\,0.2)*gt(sin(2*PI*0.5*t+1)\,0)'
codec=()
case "$output" in
    *.m4a) codec=(-c:a aac -b:a 192k) ;;
esac
partial="$output.partial.${output##*.}"
ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "aevalsrc=$voice+0.01*sin(2*PI*50*t)|$voiceRight+0.01*sin(2*PI*50*t):s=44100:d=$seconds" \
    -f lavfi -i "anoisesrc=a=0.03:c=pink:d=$seconds:r=44100" \
    -filter_complex "[1]asplit[a][b];[a][b]amerge=inputs=2[n];[0][n]amix=inputs=2:normalize=0" \
    "${codec[@]}" "$partial"
mv "$partial" "$output"
