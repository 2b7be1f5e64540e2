#pragma once

// Deterministic test signals for the engine's tests and benchmarks.

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

} // namespace taln::testsignals
