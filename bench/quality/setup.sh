#!/bin/sh
# Prepares the quality benchmark (run by hand, not in CI): the Debian packages it reads speech
# and noise from and runs its peers with, RNNoise's npm WebAssembly build, then the corpus.
#
#   sudo bench/quality/setup.sh
#
# The two scorers are public Python sources that never enter this repository: ludlows/PESQ
# (PESQ-WB, built in place with Debian's cython3 and python3-numpy) and mpariente/pystoi (STOI),
# kept in bench/quality/.tools/PESQ and bench/quality/.tools/pystoi, which git ignores. This
# script only checks that they import.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    asterisk-core-sounds-en-g722 asterisk-core-sounds-fr-g722 asterisk-core-sounds-it-g722 \
    asterisk-core-sounds-ru-g722 ktuberling-data lincity-ng-data \
    ffmpeg sox nodejs npm python3 python3-numpy python3-scipy python3-dev cython3

mkdir -p "$here/.tools/node"
[ -f "$here/.tools/node/package.json" ] || echo '{"private": true}' > "$here/.tools/node/package.json"
npm install --prefix "$here/.tools/node" --no-audit --no-fund @jitsi/rnnoise-wasm@0.2.1

if ! PYTHONPATH="$here/.tools/PESQ:$here/.tools/pystoi" /usr/bin/python3 \
        -c 'from pesq import pesq; from pystoi import stoi' 2>/dev/null; then
    echo "The scorers are missing: ludlows/PESQ (built in place) in $here/.tools/PESQ and" >&2
    echo "mpariente/pystoi in $here/.tools/pystoi." >&2
    exit 1
fi

[ -f "$here/corpus/index.json" ] || /usr/bin/python3 "$here/make_corpus.py"
echo "Ready: bench/quality/run.py --taln build/cli/taln-clean" >&2
