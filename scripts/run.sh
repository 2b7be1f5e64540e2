#!/usr/bin/env bash
# Launches the window when it is built; otherwise cleans a generated demo recording
# with the command-line tool so there is still something to hear.
set -euo pipefail
build=${1:-build}
if [ -x "$build/ui/taln" ]; then
    exec "$build/ui/taln"
fi
if [ -x "$build/cli/taln-clean" ]; then
    demo_dir=$(mktemp -d)
    in="$demo_dir/demo-noisy.wav"
    out="$demo_dir/demo-cleaned.wav"
    # Ten seconds of tone bursts (a stand-in for speech) over steady hiss and 50 Hz hum.
    sox -n -r 44100 -c 1 "$demo_dir/tones.wav" synth 10 sine 220 sine 330 tremolo 0.7 90 gain -12
    sox -n -r 44100 -c 1 "$demo_dir/hiss.wav" synth 10 whitenoise gain -38
    sox -n -r 44100 -c 1 "$demo_dir/hum.wav" synth 10 sine 50 gain -40
    sox -m "$demo_dir/tones.wav" "$demo_dir/hiss.wav" "$demo_dir/hum.wav" "$in"
    "$build/cli/taln-clean" "$in" "$out"
    echo "noisy:   $in"; sox "$in" -n stat 2>&1 | grep -E 'RMS +amplitude'
    echo "cleaned: $out"; sox "$out" -n stat 2>&1 | grep -E 'RMS +amplitude'
    exit 0
fi
echo "run: nothing to launch yet (neither $build/ui/taln nor $build/cli/taln-clean is built)" >&2
exit 1
