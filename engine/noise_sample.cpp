#include "engine/noise_sample.h"

#include "engine/hum_detector.h"

#include <algorithm>

namespace taln {

NoiseSample NoiseSample::measure(std::span<const float> channel, double sampleRate,
                                 std::int64_t first, std::int64_t last) {
    const auto n = static_cast<std::int64_t>(channel.size());
    first = std::clamp<std::int64_t>(first, 0, n);
    last = std::clamp<std::int64_t>(last, first, n);
    const std::span<const float> stretch =
        channel.subspan(static_cast<std::size_t>(first), static_cast<std::size_t>(last - first));

    Cleaner::NoiseEstimate estimate = Cleaner::estimateNoiseDetailed(stretch);
    NoiseSample sample;
    sample.hum = HumDetector::detect(stretch, estimate.frames, sampleRate);
    sample.profile = std::move(estimate.profile);
    sample.quietToMedian = estimate.quietToMedian;
    sample.frameStarts.reserve(estimate.frames.size());
    for (const std::int64_t f : estimate.frames) {
        sample.frameStarts.push_back(first + f * Cleaner::kHop);
    }
    return sample;
}

} // namespace taln
