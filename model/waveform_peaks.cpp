#include "model/waveform_peaks.h"

#include <algorithm>
#include <cmath>

namespace taln::WaveformPeaks {

namespace {

// A peak scale of 0 would make a silent file's waveform divide by zero.
constexpr float kMinPeakScale = 0.0001f;

} // namespace

std::vector<Peak> peaks(const Channels& channels, std::int64_t buckets) {
    const std::int64_t n = frameCount(channels);
    if (n <= 0 || buckets <= 0) {
        return {};
    }
    std::vector<Peak> result;
    result.reserve(static_cast<std::size_t>(buckets));
    for (std::int64_t b = 0; b < buckets; ++b) {
        const std::int64_t start = (b * n) / buckets;
        const std::int64_t end = std::min(n, std::max(start + 1, ((b + 1) * n) / buckets));
        float lo = 0.0f;
        float hi = 0.0f;
        for (const ChannelPtr& channel : channels) {
            if (!channel) {
                continue;
            }
            // All channels are as long as the first; a shorter one is read only as far as it goes.
            const float* samples = channel->data();
            const std::int64_t stop = std::min(end, static_cast<std::int64_t>(channel->size()));
            for (std::int64_t i = start; i < stop; ++i) {
                const float x = samples[i];
                if (x < lo) {
                    lo = x;
                }
                if (x >= hi) {
                    hi = x;
                }
            }
        }
        result.push_back(Peak{lo, hi});
    }
    return result;
}

float scaleOf(const std::vector<Peak>& peaks) {
    float m = 0.0f;
    bool any = false;
    for (const Peak& p : peaks) {
        m = any ? std::max(m, std::max(std::fabs(p.lo), std::fabs(p.hi)))
                : std::max(std::fabs(p.lo), std::fabs(p.hi));
        any = true;
    }
    if (!any) {
        return 1.0f;
    }
    return m <= kMinPeakScale ? kMinPeakScale : m;
}

} // namespace taln::WaveformPeaks
