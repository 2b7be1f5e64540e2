#!/usr/bin/python3
"""The quality benchmark's tables, from out/<method>/scores.json (see run.py).

    bench/quality/table.py METHOD...

Means over every file of each noise class (speakers and SNRs), one table per score.
"""

import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
NOISES = ["white", "pink", "brown", "hum", "fan", "cafe", "babble", "step", "ramp"]
SCORES = [
    ("pesq", "PESQ-WB", "{:.2f}"),
    ("stoi", "STOI", "{:.3f}"),
    ("pause", "Pauses, dB (energy out over in)", "{:.1f}"),
    ("loud", "Pauses of the loud part, dB (drifting noise)", "{:.1f}"),
    ("speech", "Speech kept, dB (voice-dominated frames, out over clean)", "{:.1f}"),
    ("kurt", "Kurtosis ratio in the pauses (musical noise: higher is worse)", "{:.2f}"),
]


def mean(values):
    values = [v for v in values if v is not None and not math.isnan(v)]
    return sum(values) / len(values) if values else float("nan")


def main():
    methods = sys.argv[1:]
    scores = {}
    for m in methods:
        with open(os.path.join(HERE, "out", m, "scores.json")) as f:
            scores[m] = json.load(f)
    present = [n for n in NOISES if any(e["noise"] == n for e in scores[methods[0]])]
    for key, title, fmt in SCORES:
        columns = present if key != "loud" else [n for n in present if n in ("step", "ramp")]
        if not columns:
            continue
        print(f"\n{title}\n")
        print("| method | " + " | ".join(columns) + " | all |")
        print("|---" * (len(columns) + 2) + "|")
        for m in methods:
            cells = [mean(e[key] for e in scores[m] if e["noise"] == n) for n in columns]
            every = mean(e[key] for e in scores[m] if e["noise"] in columns)
            print(f"| {m} | " + " | ".join(fmt.format(c) for c in cells) + " | "
                  + fmt.format(every) + " |")


if __name__ == "__main__":
    main()
