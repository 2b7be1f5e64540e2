#!/usr/bin/python3
"""Cleans the corpus with each method and scores the results (PESQ-WB, STOI, pauses, speech).

    bench/quality/run.py --taln build/cli/taln-clean [--methods a,b,...] [--force] [--quick]

Methods: input (the noisy file as it is), sox (noisered 0.21 with a profile of the first 0.5 s,
noise alone), afftdn (FFmpeg's default), rnnoise (the npm WebAssembly build at 48 kHz), and
taln variants: taln (default), taln-reference (--engine reference), taln-100 (strength 100),
or taln:NAME:ARGS for any other arguments (ARGS split on spaces). Outputs are kept in
out/<method>/ and cleaned again only with --force. --quick takes a third of the corpus (two
speakers, SNR 0, 10 and 20) for quick turns.

Scores per file, against the clean speech, at 16 kHz:
  pesq    PESQ-WB (ITU-T P.862.2), ludlows/PESQ
  stoi    STOI, mpariente/pystoi
  pause   the output's energy in the pauses over the input's, dB (pauses: 32 ms frames where
          the clean speech is 50 dB below its loudest frame)
  loud    the same over the pauses of the loud part only (drifting noise: the second half of a
          step, the last third of a ramp)
  speech  the output's energy over the clean speech's in frames where the voice dominates
          (within 20 dB of its loudest frame and 6 dB above the noise), dB: the speech lost
  kurt    the kurtosis of the output's spectral powers in the pauses over the input's (bins of
          125-6250 Hz, each scaled to its mean, then each frame to its mean): about 1 for noise
          that is only made quieter, far above 1 for isolated spectral peaks (musical noise)
"""

import argparse
import json
import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import scipy.io.wavfile as wavfile
import scipy.signal as signal

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, ".tools")
sys.path[:0] = [os.path.join(TOOLS, "PESQ"), os.path.join(TOOLS, "pystoi")]
CORPUS = os.path.join(HERE, "corpus")
OUT = os.path.join(HERE, "out")
RATE = 16000
FRAME = 512

TALN_METHODS = {
    "taln": [],
    "taln-reference": ["--engine", "reference"],
    "taln-100": ["--strength", "100"],
    "taln-reference-100": ["--engine", "reference", "--strength", "100"],
}


def sh(cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def clean_file(method, taln, src, dst):
    with tempfile.TemporaryDirectory() as tmp:
        if method == "input":
            shutil.copy(src, dst)
        elif method == "sox":
            prof = os.path.join(tmp, "noise.prof")
            sh(["sox", src, "-n", "trim", "0", "0.5", "noiseprof", prof])
            sh(["sox", src, "-b", "32", "-e", "floating-point", dst, "noisered", prof, "0.21"])
        elif method == "afftdn":
            wide = os.path.join(tmp, "out.wav")
            sh(["ffmpeg", "-v", "error", "-y", "-i", src, "-af", "afftdn", "-c:a", "pcm_f32le",
                wide])
            align(src, wide, dst)
        elif method == "rnnoise":
            raw_in, raw_out = os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")
            sh(["sox", src, "-t", "f32", "-r", "48000", raw_in])
            sh(["node", os.path.join(HERE, "rnnoise.mjs"), raw_in, raw_out])
            sh(["sox", "-t", "f32", "-r", "48000", "-c", "1", raw_out, "-r", str(RATE), "-b", "32",
                "-e", "floating-point", dst])
        else:
            wide = os.path.join(tmp, "out.wav")
            sh([taln, "-j", "1", "--float", *taln_args(method), src, wide])
            sh(["sox", wide, "-r", str(RATE), dst])


def align(src, out, dst):
    """Writes `out` moved earlier by the delay that best lines it up with `src` (afftdn's output
    comes 400 samples late at 16 kHz)."""
    _, x = wavfile.read(src)
    _, y = wavfile.read(out)
    x, y = x.astype(np.float64), y.astype(np.float64)
    lags = range(0, 4097)
    lag = max(lags, key=lambda d: float(np.dot(x[: len(x) - d], y[d:])))
    wavfile.write(dst, RATE, np.pad(y[lag:], (0, lag)).astype(np.float32))


def taln_args(method):
    if method in TALN_METHODS:
        return TALN_METHODS[method]
    if method.startswith("taln:"):
        return method.split(":", 2)[2].split()
    raise ValueError(f"unknown method {method}")


def read(path, n=None):
    sr, x = wavfile.read(path)
    if sr != RATE:
        raise RuntimeError(f"{path}: {sr} Hz")
    x = x.astype(np.float64)
    if x.ndim > 1:
        x = x.mean(axis=1)
    return x if n is None else np.pad(x, (0, max(0, n - len(x))))[:n]


def frame_power(x):
    n = len(x) // FRAME
    return np.mean(x[: n * FRAME].reshape(n, FRAME) ** 2, axis=1)


def db(a, b):
    return float(10 * np.log10(max(a, 1e-30) / max(b, 1e-30)))


def kurtosis_of(x, frames):
    _, _, z = signal.stft(x, nperseg=FRAME, noverlap=FRAME // 2, boundary=None, padded=False)
    p = np.abs(z[4:200, :]) ** 2  # bins of 31.25 Hz: 125 ... 6250 Hz
    cols = np.array([c for c in range(p.shape[1]) if (c // 2) in frames])
    if len(cols) < 8:
        return float("nan")
    p = p[:, cols]
    # Each bin over its mean (the noise's spectral shape), then each frame over its mean (the
    # level rising and falling next to words): what is left is how peaky the residual is.
    p = p / (np.mean(p, axis=1, keepdims=True) + 1e-30)
    p = p / (np.mean(p, axis=0, keepdims=True) + 1e-30)
    return float(np.mean(p**4) / np.mean(p**2) ** 2)


def score(item):
    from pesq import pesq
    from pystoi import stoi

    method, entry = item
    clean = read(f"{CORPUS}/clean/{entry['speaker']}.wav")
    n = len(clean)
    noisy = read(f"{CORPUS}/noisy/{entry['file']}.wav", n)
    out = read(f"{OUT}/{method}/{entry['file']}.wav", n)
    c, v, o, i = frame_power(clean), frame_power(noisy - clean), frame_power(out), frame_power(noisy)
    pauses = np.nonzero(c < c.max() * 1e-5)[0]
    voice = np.nonzero((c > c.max() * 1e-2) & (c > 4 * v))[0]
    if entry["noise"] == "step":
        loud = pauses[pauses >= len(c) // 2]
    elif entry["noise"] == "ramp":
        loud = pauses[pauses >= 2 * len(c) // 3]
    else:
        loud = pauses
    try:
        p = float(pesq(RATE, clean, out, "wb"))
    except Exception:  # PESQ refuses outputs it finds no speech in
        p = float("nan")
    result = dict(entry)
    result.update(
        method=method,
        pesq=p,
        stoi=float(stoi(clean, out, RATE, extended=False)),
        pause=db(o[pauses].sum(), i[pauses].sum()),
        loud=db(o[loud].sum(), i[loud].sum()),
        speech=db(o[voice].sum(), c[voice].sum()) if len(voice) else float("nan"),
        kurt=kurtosis_of(out, set(pauses)) / kurtosis_of(noisy, set(pauses)),
    )
    return result


def produce(item):
    method, taln, entry, force = item
    dst = f"{OUT}/{method}/{entry['file']}.wav"
    if force or not os.path.exists(dst):
        clean_file(method, taln, f"{CORPUS}/noisy/{entry['file']}.wav", dst + ".tmp.wav")
        os.replace(dst + ".tmp.wav", dst)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--taln", default=os.path.join(HERE, "..", "..", "build", "cli", "taln-clean"))
    ap.add_argument("--methods", default="input,sox,afftdn,rnnoise,taln-reference,taln")
    ap.add_argument("--force", action="store_true")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--noises", default="")
    ap.add_argument("--jobs", type=int, default=2)
    args = ap.parse_args()
    with open(f"{CORPUS}/index.json") as f:
        index = json.load(f)
    if args.quick:
        index = [e for e in index if e["speaker"] in ("en_allison", "it_carlo")
                 and e["snr"] in (0, 10, 20)]
    if args.noises:
        index = [e for e in index if e["noise"] in args.noises.split(",")]
    methods = args.methods.split(",")
    with multiprocessing.Pool(args.jobs) as pool:
        for method in methods:
            os.makedirs(f"{OUT}/{method}", exist_ok=True)
            work = [(method, os.path.abspath(args.taln), e, args.force) for e in index]
            pool.map(produce, work)
            scores = pool.map(score, [(method, e) for e in index])
            with open(f"{OUT}/{method}/scores.json", "w") as f:
                json.dump(scores, f, indent=0)
            print(f"{method}: {len(scores)} files", file=sys.stderr)
    subprocess.run([sys.executable, os.path.join(HERE, "table.py"), *methods], check=True)


if __name__ == "__main__":
    main()
