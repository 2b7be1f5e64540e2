#pragma once

// The channel the engine's benchmarks clean: ten minutes of speech-like signal over noise at
// 44.1 kHz (made once per process, the same in every benchmark), its noise profile, and the
// strength the window starts at.

#include "engine/cleaner.h"
#include "tests/engine/test_signals.h"

#include <cstdint>
#include <vector>

namespace taln::bench {

inline constexpr double kRate = 44100.0;
inline constexpr std::int64_t kSamples = 10 * 60 * 44100;
inline constexpr float kStrength = 0.6f;

inline const std::vector<float>& channel() {
    static const std::vector<float> x = testsignals::speechLike(kSamples, kRate, 2024);
    return x;
}

inline const std::vector<float>& profile() {
    static const std::vector<float> p = Cleaner::estimateNoise(channel());
    return p;
}

} // namespace taln::bench
