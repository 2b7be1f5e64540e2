#pragma once

// NoiseSample: what the cleaner takes as one channel's noise, with where it came from. The
// profile is estimateNoise over a stretch of the channel (the whole channel by default, or a
// stretch the user chose); the hum lines are those HumDetector finds in the frames that profile
// averaged; the frames are kept, in channel positions, so that the window can mark them.
//
// Units: samples of one channel at `sampleRate` Hz; frame starts are sample indices of the whole
// channel. Thread: any, several at once. Allocation: the result's arrays.

#include "engine/cleaner.h"

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace taln {

struct NoiseSample {
    // 1025 bin powers: exactly estimateNoise of the stretch.
    std::vector<float> profile;
    // The hum lines found in the averaged frames; the pre-filter notches only these.
    Cleaner::HumMask hum = Cleaner::kNoHum;
    // First sample of each averaged 2048-sample frame, ascending, in channel positions.
    std::vector<std::int64_t> frameStarts;
    // The averaged frames' mean energy over the median frame's (Cleaner::NoiseEstimate).
    float quietToMedian = 0.0f;

    // The sample of channel samples [first, last) (clamped to the channel).
    static NoiseSample measure(std::span<const float> channel, double sampleRate,
                               std::int64_t first = 0,
                               std::int64_t last = std::numeric_limits<std::int64_t>::max());
};

} // namespace taln
