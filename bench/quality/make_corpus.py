#!/usr/bin/python3
"""Builds the quality benchmark's corpus: real recorded speech over several noises.

Speech: six real speakers from Debian packages (never a synthesised voice): the telephone
prompts of asterisk-core-sounds-{en,fr,it,ru}-g722 (16 kHz G.722: an American English, a
Canadian French and a Russian woman, an Italian man), and the spoken words of ktuberling-data
(English and German). Each utterance strings a speaker's prompts or words together with
pauses between them, after 0.6 s of noise alone.

Noises: white, pink and brown (generated); hum (generated, 50 Hz with harmonics over faint
pink noise); fan (generated: broadband rumble with blade-pass tones that waver); cafe (a
recorded market crowd, lincity-ng-data's MarketFull1.wav); babble (eight real talkers,
ktuberling-data's words in eight other languages, summed). And two that drift: pink noise
stepping up 12 dB halfway, white noise rising 10 dB over the file.

Everything is 16 kHz mono 32-bit float WAV, written into corpus/ beside this script:
clean/<speaker>.wav and noisy/<speaker>_<noise>_<snr>.wav, plus corpus/index.json. The SNR is
the speech's active level (frames within 30 dB of its loudest) over the noise's mean level over
the file. Deterministic: the same corpus every time.
"""

import glob
import json
import os
import subprocess
import sys

import numpy as np
import scipy.io.wavfile as wavfile
import scipy.signal as signal

RATE = 16000
HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
SNRS = [0, 5, 10, 15, 20]
SPEECH_LEVEL_DB = -26.0  # active speech level, dBFS
UTTERANCE_SECONDS = 9.0
LEAD_IN_SECONDS = 0.6

ASTERISK = "/usr/share/asterisk/sounds"
KTUBERLING = "/usr/share/ktuberling/sounds"
LINCITY = "/usr/share/games/lincity-ng/sounds"

SPEAKERS = {
    "en_allison": ("asterisk", f"{ASTERISK}/en_US_f_Allison"),
    "fr_june": ("asterisk", f"{ASTERISK}/fr_CA_f_June"),
    "it_carlo": ("asterisk", f"{ASTERISK}/it_IT_m_Carlo"),
    "ru_ivr": ("asterisk", f"{ASTERISK}/ru_RU_f_IvrvoiceRU"),
    "en_words": ("words", f"{KTUBERLING}/en"),
    "de_words": ("words", f"{KTUBERLING}/de"),
}
BABBLE_TALKERS = ["da", "el", "gl", "lt", "sl", "uk", "wa", "ca"]
STEADY_NOISES = ["white", "pink", "brown", "hum", "fan", "cafe", "babble"]
DRIFTING_NOISES = ["step", "ramp"]


def decode(path, fmt=None):
    """Any file ffmpeg reads, as float64 mono at RATE."""
    cmd = ["ffmpeg", "-v", "error"]
    if fmt:
        cmd += ["-f", fmt]
    cmd += ["-i", path, "-ac", "1", "-ar", str(RATE), "-f", "f32le", "-"]
    raw = subprocess.run(cmd, check=True, capture_output=True).stdout
    return np.frombuffer(raw, dtype=np.float32).astype(np.float64)


def frame_levels(x, frame=512):
    n = len(x) // frame
    return np.mean(x[: n * frame].reshape(n, frame) ** 2, axis=1)


def active_level(x):
    """Mean power over the frames within 30 dB of the loudest (the active speech level)."""
    e = frame_levels(x)
    return float(np.mean(e[e > e.max() * 1e-3]))


def trim(x, rel_db=-40.0):
    """The stretch from the first to the last 32 ms frame within rel_db of the loudest."""
    e = frame_levels(x)
    loud = np.nonzero(e > e.max() * 10 ** (rel_db / 10))[0]
    return x[loud[0] * 512 : (loud[-1] + 1) * 512] if len(loud) else x


def prompts(kind, folder):
    if kind == "asterisk":
        files = sorted(glob.glob(f"{folder}/*.g722"))
        return [(f, "g722") for f in files]
    files = sorted(glob.glob(f"{folder}/*.ogg") + glob.glob(f"{folder}/*.wav"))
    return [(f, None) for f in files]


def utterance(kind, folder, rng, seconds):
    """A speaker's prompts or words strung together with pauses, after a lead-in of silence."""
    items = prompts(kind, folder)
    order = rng.permutation(len(items))
    parts = [np.zeros(int(LEAD_IN_SECONDS * RATE))]
    total = len(parts[0])
    gap = (0.25, 0.7) if kind == "asterisk" else (0.15, 0.5)
    for i in order:
        path, fmt = items[i]
        x = trim(decode(path, fmt))
        if len(x) < 0.2 * RATE or total + len(x) > seconds * RATE:
            continue
        parts.append(x)
        pause = np.zeros(int(rng.uniform(*gap) * RATE))
        parts.append(pause)
        total += len(x) + len(pause)
        if total > (seconds - 0.8) * RATE:
            break
    y = np.concatenate(parts)
    y = np.concatenate([y, np.zeros(max(0, int(seconds * RATE) - len(y)))])
    return y * np.sqrt(10 ** (SPEECH_LEVEL_DB / 10) / active_level(y))


def shaped(rng, n, exponent):
    """Gaussian noise with a power spectrum falling as 1/f^exponent above 20 Hz."""
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, 1.0 / RATE)
    spectrum *= np.maximum(f, 20.0) ** (-exponent / 2.0)
    spectrum[f < 15.0] = 0.0
    return np.fft.irfft(spectrum, n)


def hum(rng, n):
    t = np.arange(n) / RATE
    drift = 0.05 * np.sin(2 * np.pi * 0.13 * t)  # the mains frequency wanders by 0.05 Hz
    phase = 2 * np.pi * np.cumsum(50.0 + drift) / RATE
    y = sum((0.7**h) * np.sin(h * phase + rng.uniform(0, 2 * np.pi)) for h in range(1, 9))
    floor = shaped(rng, n, 1.0)
    return y / np.std(y) + 0.1 * floor / np.std(floor)


def fan(rng, n):
    t = np.arange(n) / RATE
    rumble = shaped(rng, n, 1.5)
    air = shaped(rng, n, 0.5)
    b, a = signal.butter(2, 4000, fs=RATE)
    air = signal.lfilter(b, a, air)
    blade = 0.0
    for h, level in ((1, 1.0), (2, 0.5), (3, 0.25)):
        wobble = 1 + 0.3 * np.sin(2 * np.pi * 0.7 * t + h)
        blade = blade + level * wobble * np.sin(2 * np.pi * 118.0 * h * t * (1 + 0.002 * np.sin(2 * np.pi * 0.2 * t)))
    y = rumble / np.std(rumble) + 0.6 * air / np.std(air) + 0.3 * blade
    return y


def looped(rng, source, n, piece=1.5):
    """A recording longer than itself: random stretches of it, crossfaded over 50 ms."""
    fade = int(0.05 * RATE)
    length = int(piece * RATE)
    out = np.zeros(n + length)
    ramp = np.sin(0.5 * np.pi * np.arange(fade) / fade) ** 2
    at = 0
    while at < n:
        start = rng.integers(0, len(source) - length)
        chunk = source[start : start + length].copy()
        chunk[:fade] *= ramp
        chunk[-fade:] *= ramp[::-1]
        out[at : at + length] += chunk
        at += length - fade
    return out[:n]


def babble(rng, n):
    y = np.zeros(n)
    for lang in BABBLE_TALKERS:
        talker = utterance("words", f"{KTUBERLING}/{lang}", rng, 60.0)[int(LEAD_IN_SECONDS * RATE) :]
        y += looped(rng, talker, n, piece=3.0) / np.sqrt(active_level(talker))
    return y


def noise(name, rng, n, cafe_source):
    if name == "white":
        return rng.standard_normal(n)
    if name == "pink":
        return shaped(rng, n, 1.0)
    if name == "brown":
        return shaped(rng, n, 2.0)
    if name == "hum":
        return hum(rng, n)
    if name == "fan":
        return fan(rng, n)
    if name == "cafe":
        return looped(rng, cafe_source, n)
    if name == "babble":
        return babble(rng, n)
    t = np.arange(n) / n
    if name == "step":
        return shaped(rng, n, 1.0) * np.where(t < 0.5, 1.0, 10 ** (12 / 20))
    if name == "ramp":
        return rng.standard_normal(n) * 10 ** (10 * t / 20)
    raise ValueError(name)


def write(path, x):
    peak = np.max(np.abs(x))
    if peak >= 1.0:
        raise RuntimeError(f"{path} would clip ({peak:.2f})")
    wavfile.write(path, RATE, x.astype(np.float32))


def main():
    os.makedirs(f"{CORPUS}/clean", exist_ok=True)
    os.makedirs(f"{CORPUS}/noisy", exist_ok=True)
    cafe_source = decode(f"{LINCITY}/MarketFull1.wav")
    index = []
    for s, (speaker, (kind, folder)) in enumerate(SPEAKERS.items()):
        rng = np.random.default_rng(1000 + s)
        clean = utterance(kind, folder, rng, UTTERANCE_SECONDS)
        write(f"{CORPUS}/clean/{speaker}.wav", clean)
        speech_power = active_level(clean)
        for k, name in enumerate(STEADY_NOISES + DRIFTING_NOISES):
            nrng = np.random.default_rng(100 * s + k)
            v = noise(name, nrng, len(clean), cafe_source)
            v /= np.sqrt(np.mean(v**2))
            for snr in SNRS:
                noisy = clean + v * np.sqrt(speech_power / 10 ** (snr / 10))
                file = f"{speaker}_{name}_{snr:02d}"
                write(f"{CORPUS}/noisy/{file}.wav", noisy)
                index.append({"file": file, "speaker": speaker, "noise": name, "snr": snr,
                              "drifting": name in DRIFTING_NOISES})
        print(speaker, file=sys.stderr)
    with open(f"{CORPUS}/index.json", "w") as f:
        json.dump(index, f, indent=1)


if __name__ == "__main__":
    main()
