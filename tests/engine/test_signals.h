#pragma once

// Deterministic test signals for the engine's tests and benchmarks.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace taln::testsignals {

// Uniform white noise in [-amplitude, amplitude).
inline std::vector<float> whiteNoise(std::int64_t n, float amplitude, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> x(static_cast<std::size_t>(n));
    for (float& v : x) {
        v = dist(rng);
    }
    return x;
}

// Something like a voice memo: voiced "syllables" (a 110 … 220 Hz buzz with a few harmonics,
// gated at about 4 per second, with pauses) over stationary noise and a little 50 Hz hum.
inline std::vector<float> speechLike(std::int64_t n, double sampleRate, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::uniform_real_distribution<double> pitch(110.0, 220.0);
    std::vector<float> x(static_cast<std::size_t>(n));
    const double twoPi = 2.0 * std::numbers::pi;
    const auto syllable = static_cast<std::int64_t>(sampleRate * 0.25);
    double f0 = pitch(rng);
    double phase = 0.0;
    double lowpass = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t within = i % syllable;
        if (within == 0) {
            f0 = pitch(rng);
        }
        // Every fourth syllable is a pause, so the recording has quiet stretches.
        const bool voiced = (i / syllable) % 4 != 3;
        const double env = voiced ? std::sin(std::numbers::pi * within / syllable) : 0.0;
        phase += twoPi * f0 / sampleRate;
        double voice = 0.0;
        for (int h = 1; h <= 6; ++h) {
            voice += std::sin(phase * h) / h;
        }
        lowpass = 0.9 * lowpass + 0.1 * noise(rng);
        const double hum = 0.01 * std::sin(twoPi * 50.0 * i / sampleRate);
        x[static_cast<std::size_t>(i)] =
            static_cast<float>(0.2 * env * voice + 2.0 * lowpass + noise(rng) * 0.5 + hum);
    }
    return x;
}

// Two-pole resonator at `hz` with bandwidth `bw`, unit gain at its peak (roughly), in place.
inline void resonate(std::vector<double>& x, double hz, double bw, double sampleRate) {
    const double r = std::exp(-std::numbers::pi * bw / sampleRate);
    const double a1 = -2.0 * r * std::cos(2.0 * std::numbers::pi * hz / sampleRate);
    const double a2 = r * r;
    const double g = 1.0 - r;
    double y1 = 0.0;
    double y2 = 0.0;
    for (double& v : x) {
        const double y = g * v - a1 * y1 - a2 * y2;
        y2 = y1;
        y1 = y;
        v = y;
    }
}

// A voiced sound: a glottal pulse train (raised-cosine opening, quicker closing, differentiated
// for the lips) at the frequency f0(i) in Hz of each sample, through the formants of /a/, /o/ or
// /e/, changing every 0.3 s. Scaled to a peak of 1.
template <typename Pitch>
std::vector<float> voiced(std::int64_t n, double sampleRate, Pitch f0, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<double> x(static_cast<std::size_t>(n));
    double phase = 0.0;
    double last = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        phase += f0(i) / sampleRate;
        phase -= std::floor(phase);
        double g = 0.0;
        if (phase < 0.4) {
            g = 0.5 - 0.5 * std::cos(std::numbers::pi * phase / 0.4);
        } else if (phase < 0.56) {
            g = std::cos(0.5 * std::numbers::pi * (phase - 0.4) / 0.16);
        }
        x[static_cast<std::size_t>(i)] = g - last;
        last = g;
    }
    static constexpr double kVowels[3][3] = {
        {730, 1090, 2440}, {570, 840, 2410}, {530, 1840, 2480}};
    const auto stretch = static_cast<std::int64_t>(0.3 * sampleRate);
    std::vector<double> out(x.size(), 0.0);
    for (std::int64_t at = 0; at < n; at += stretch) {
        const double* vowel = kVowels[rng() % 3];
        // Each stretch filtered on its own, from a little earlier, so the formants settle.
        const std::int64_t from = std::max<std::int64_t>(at - 2000, 0);
        const std::int64_t to = std::min(at + stretch, n);
        std::vector<double> part(x.begin() + from, x.begin() + to);
        std::vector<double> sum(part.size(), 0.0);
        for (int k = 0; k < 3; ++k) {
            std::vector<double> band = part;
            resonate(band, vowel[k], 90.0, sampleRate);
            resonate(band, vowel[k], 90.0, sampleRate);
            for (std::size_t j = 0; j < band.size(); ++j) {
                sum[j] += band[j] / (k + 1);
            }
        }
        std::copy(sum.begin() + (at - from), sum.end(), out.begin() + at);
    }
    double peak = 1e-30;
    for (double v : out) {
        peak = std::max(peak, std::abs(v));
    }
    std::vector<float> y(out.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        y[i] = static_cast<float>(out[i] / peak);
    }
    return y;
}

// Speech: syllables of 0.15 ... 0.35 s whose pitch glides between two values in 90 ... 220 Hz,
// with a pause of 0.2 ... 0.7 s after about one in three, at a peak of `peak`. The pauses are
// exact zeros; `gaps` (optional) receives 1 in them and 0 elsewhere.
inline std::vector<float> speech(std::int64_t n, double sampleRate, std::uint32_t seed, float peak,
                                 std::vector<std::uint8_t>* gaps = nullptr) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> pitch(static_cast<std::size_t>(n), 120.0);
    std::vector<double> envelope(static_cast<std::size_t>(n), 0.0);
    std::int64_t i = 0;
    while (i < n) {
        const auto length = static_cast<std::int64_t>((0.15 + 0.2 * unit(rng)) * sampleRate);
        const double from = 90.0 + 130.0 * unit(rng);
        const double to = 90.0 + 130.0 * unit(rng);
        for (std::int64_t j = 0; j < length && i + j < n; ++j) {
            const double t = static_cast<double>(j) / static_cast<double>(length);
            pitch[static_cast<std::size_t>(i + j)] = from + (to - from) * t;
            envelope[static_cast<std::size_t>(i + j)] = std::sin(std::numbers::pi * t);
        }
        i += length;
        if (unit(rng) < 0.35) {
            i += static_cast<std::int64_t>((0.2 + 0.5 * unit(rng)) * sampleRate);
        }
    }
    std::vector<float> x = voiced(
        n, sampleRate, [&](std::int64_t k) { return pitch[static_cast<std::size_t>(k)]; }, seed);
    if (gaps != nullptr) {
        gaps->assign(static_cast<std::size_t>(n), 0);
    }
    for (std::size_t k = 0; k < x.size(); ++k) {
        x[k] *= peak * static_cast<float>(envelope[k]);
        if (gaps != nullptr && envelope[k] == 0.0) {
            (*gaps)[k] = 1;
        }
    }
    return x;
}

// A note held at `hz` with vibrato of ±`depth` (a share of the pitch) at 5.5 Hz, of RMS `rms`
// where it sounds: a voice (voiced(), its vowels changing) or an instrument (eight harmonics at
// 1/h), sounding only where `gate` is 1, faded in and out over 20 ms.
inline std::vector<float> heldTone(std::int64_t n, double hz, double depth, double rms, bool voice,
                                   const std::vector<std::uint8_t>& gate,
                                   double sampleRate = 44100.0) {
    const double twoPi = 2.0 * std::numbers::pi;
    const auto pitch = [&](std::int64_t i) {
        return hz * (1.0 + depth * std::sin(twoPi * 5.5 * static_cast<double>(i) / sampleRate));
    };
    std::vector<float> x;
    if (voice) {
        x = voiced(n, sampleRate, pitch, 99);
    } else {
        x.assign(static_cast<std::size_t>(n), 0.0f);
        double phase = 0.0;
        for (std::int64_t i = 0; i < n; ++i) {
            phase += twoPi * pitch(i) / sampleRate;
            double v = 0.0;
            for (int h = 1; h <= 8; ++h) {
                v += std::sin(h * phase) / h;
            }
            x[static_cast<std::size_t>(i)] = static_cast<float>(v);
        }
    }
    double sum = 1e-300;
    for (float v : x) {
        sum += double(v) * v;
    }
    const double scale = rms / std::sqrt(sum / static_cast<double>(n));
    double level = 0.0;
    const double step = 1.0 / (0.02 * sampleRate);
    for (std::size_t i = 0; i < x.size(); ++i) {
        level = gate[i] != 0 ? std::min(1.0, level + step) : std::max(0.0, level - step);
        x[i] = static_cast<float>(x[i] * scale * level);
    }
    return x;
}

// Stationary noise of RMS `rms`: white, pink (−3 dB an octave) or brown (−6 dB an octave, above
// 20 Hz).
enum class Colour { white, pink, brown };
inline std::vector<float> colouredNoise(std::int64_t n, Colour colour, double rms,
                                        std::uint32_t seed, double sampleRate = 44100.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> x(static_cast<std::size_t>(n));
    double b[7] = {};
    const double leak = 1.0 - 2.0 * std::numbers::pi * 20.0 / sampleRate;
    for (double& v : x) {
        const double w = gauss(rng);
        if (colour == Colour::white) {
            v = w;
        } else if (colour == Colour::pink) {
            // Paul Kellet's economy filter: within 0.05 dB of −3 dB an octave above 9 Hz.
            b[0] = 0.99886 * b[0] + w * 0.0555179;
            b[1] = 0.99332 * b[1] + w * 0.0750759;
            b[2] = 0.96900 * b[2] + w * 0.1538520;
            b[3] = 0.86650 * b[3] + w * 0.3104856;
            b[4] = 0.55000 * b[4] + w * 0.5329522;
            b[5] = -0.7616 * b[5] - w * 0.0168980;
            v = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
            b[6] = w * 0.115926;
        } else {
            b[0] = leak * b[0] + w;
            v = b[0];
        }
    }
    double sum = 0.0;
    for (double v : x) {
        sum += v * v;
    }
    const double scale = rms / std::sqrt(sum / static_cast<double>(n) + 1e-300);
    std::vector<float> y(x.size());
    for (std::size_t k = 0; k < y.size(); ++k) {
        y[k] = static_cast<float>(x[k] * scale);
    }
    return y;
}

// Mains hum: a sine at `hz` of RMS `rms`, plus, with `harmonics`, its harmonics 2 ... 6 at
// 0.7, 0.5, 0.35, 0.25 and 0.18 of its amplitude.
inline std::vector<float> hum(std::int64_t n, double hz, double rms, bool harmonics,
                              double sampleRate = 44100.0) {
    static constexpr double kHarmonics[6] = {1.0, 0.7, 0.5, 0.35, 0.25, 0.18};
    std::vector<float> x(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        double v = 0.0;
        for (int h = 1; h <= (harmonics ? 6 : 1); ++h) {
            v += kHarmonics[h - 1] *
                 std::sin(2.0 * std::numbers::pi * hz * h * static_cast<double>(i) / sampleRate +
                          0.7 * h);
        }
        x[static_cast<std::size_t>(i)] = static_cast<float>(v * rms * std::numbers::sqrt2);
    }
    return x;
}

} // namespace taln::testsignals
