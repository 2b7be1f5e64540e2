#pragma once

// Cleaner: the noise-reduction engine. (Contract to be completed by the implementation.)

#include "engine/cancel_token.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace taln {

class Cleaner {
public:
    static constexpr std::int64_t kFrameLength = 2048;
    static constexpr std::int64_t kHop = 512;
    static constexpr std::int64_t kBins = 1025;

    // The 2048-point periodic square-root Hann window; built once, on first use, from any thread.
    static const std::array<float, 2048>& window();

    // One channel's noise profile: 1025 bin powers, never below 1e-14. Any thread.
    static std::vector<float> estimateNoise(std::span<const float> samples);

    // One channel cleaned at `strength` (0 ... 1), or nothing when `token` was cancelled.
    // `noise` holds at least 1025 values. Any thread.
    static std::optional<std::vector<float>> clean(std::span<const float> samples,
                                                   std::span<const float> noise, float strength,
                                                   double sampleRate, const CancelToken& token);
};

} // namespace taln
