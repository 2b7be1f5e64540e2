#!/usr/bin/env bash
# Ten minutes of 48 kHz mono (speech-like tone bursts over pink noise, made with sox) through
# lv2apply: Taln's mono plugin, and a plugin that only copies (lv2apply's own reading and
# writing), three times each, interleaved. Prints the medians: wall clock, and processor time
# (user + system). lv2apply runs a plugin one sample at a time, with a read and a write system
# call for every sample.
#
#   bench/live/bench_lv2apply.sh [build]     (after building taln_lv2 and bench_copy_lv2)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sox -n -r 48000 -c 1 -b 32 -e float "$work/noise.wav" synth 600 pinknoise vol 0.03
sox -n -r 48000 -c 1 -b 32 -e float "$work/voice.wav" synth 600 sine 180 tremolo 2 100 vol 0.2
sox -m "$work/noise.wav" "$work/voice.wav" "$work/in.wav"

median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
TIMEFORMAT='%R %U %S'
declare -a taln_wall taln_cpu copy_wall copy_cpu
for run in 1 2 3; do
    for plugin in taln copy; do
        if [ $plugin = taln ]; then
            path=$build/lv2 uri=urn:taln:clean-mono
        else
            path=$build/bench/live/lv2 uri=urn:taln:bench-copy
        fi
        read -r wall user sys < <({ time LV2_PATH=$path lv2apply -i "$work/in.wav" \
            -o "$work/out.wav" "$uri" >/dev/null 2>&1; } 2>&1)
        cpu=$(awk "BEGIN { print $user + $sys }")
        if [ $plugin = taln ]; then
            taln_wall+=("$wall") taln_cpu+=("$cpu")
        else
            copy_wall+=("$wall") copy_cpu+=("$cpu")
        fi
    done
done
printf 'lv2apply, 10 minutes at 48 kHz mono, medians of 3 (wall s / processor s):\n'
printf '  Taln noise reduction  %7.2f / %7.2f\n' "$(median "${taln_wall[@]}")" "$(median "${taln_cpu[@]}")"
printf '  copy only             %7.2f / %7.2f\n' "$(median "${copy_wall[@]}")" "$(median "${copy_cpu[@]}")"
