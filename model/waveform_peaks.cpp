#include "model/waveform_peaks.h"

#include <algorithm>
#include <cmath>

namespace taln::WaveformPeaks {

namespace {

// A peak scale of 0 would make a silent file's waveform divide by zero.
constexpr float kMinPeakScale = 0.0001f;

// Widens `peak` by samples [0, count): `lo` takes anything lower, `hi` anything at least as high;
// NaN passes both tests untouched.
void widen(Peak& peak, const float* samples, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
        const float x = samples[i];
        if (x < peak.lo) {
            peak.lo = x;
        }
        if (x >= peak.hi) {
            peak.hi = x;
        }
    }
}

// The first bucket in [0, buckets) for which `past` holds (`past` is false, then true).
template <class Pred> std::int64_t firstWhere(std::int64_t buckets, Pred past) {
    std::int64_t lo = 0;
    std::int64_t hi = buckets;
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (past(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

} // namespace

std::int64_t bucketStart(std::int64_t b, std::int64_t n, std::int64_t buckets) {
    return (b * n) / buckets;
}

std::int64_t bucketEnd(std::int64_t b, std::int64_t n, std::int64_t buckets) {
    return std::min(n, std::max(bucketStart(b, n, buckets) + 1, ((b + 1) * n) / buckets));
}

BucketSpan touching(std::int64_t n, std::int64_t buckets, std::int64_t from, std::int64_t to) {
    if (n <= 0 || buckets <= 0 || from >= to) {
        return {};
    }
    const std::int64_t first =
        firstWhere(buckets, [&](std::int64_t b) { return bucketEnd(b, n, buckets) > from; });
    const std::int64_t last =
        firstWhere(buckets, [&](std::int64_t b) { return bucketStart(b, n, buckets) >= to; });
    return {first, std::max(first, last)};
}

BucketSpan inside(std::int64_t n, std::int64_t buckets, std::int64_t from, std::int64_t to) {
    if (n <= 0 || buckets <= 0 || from >= to) {
        return {};
    }
    const std::int64_t first =
        firstWhere(buckets, [&](std::int64_t b) { return bucketStart(b, n, buckets) >= from; });
    const std::int64_t last =
        firstWhere(buckets, [&](std::int64_t b) { return bucketEnd(b, n, buckets) > to; });
    return {first, std::max(first, last)};
}

std::vector<Peak> peaksOfPiece(const Channels& piece, std::int64_t pieceStart, std::int64_t n,
                               std::int64_t buckets, BucketSpan span) {
    std::vector<Peak> result;
    result.reserve(static_cast<std::size_t>(std::max<std::int64_t>(0, span.last - span.first)));
    for (std::int64_t b = span.first; b < span.last; ++b) {
        const std::int64_t start = bucketStart(b, n, buckets);
        const std::int64_t end = bucketEnd(b, n, buckets);
        Peak peak{0.0f, 0.0f};
        for (const ChannelPtr& channel : piece) {
            widen(peak, channel->data() + (start - pieceStart), end - start);
        }
        result.push_back(peak);
    }
    return result;
}

void refresh(std::vector<Peak>& peaks, const ChunkedAudio& audio, BucketSpan span) {
    const auto buckets = static_cast<std::int64_t>(peaks.size());
    const std::int64_t n = audio.frameCount();
    for (std::int64_t b = std::max<std::int64_t>(0, span.first); b < std::min(span.last, buckets);
         ++b) {
        Peak peak{0.0f, 0.0f};
        for (int c = 0; c < audio.channelCount(); ++c) {
            audio.forEachSpan(c, bucketStart(b, n, buckets), bucketEnd(b, n, buckets),
                              [&](const float* samples, std::int64_t count, std::int64_t) {
                                  widen(peak, samples, count);
                              });
        }
        peaks[static_cast<std::size_t>(b)] = peak;
    }
}

void patch(std::vector<Peak>& peaks, const ChunkedAudio& audio, std::int64_t from, std::int64_t to,
           std::int64_t firstInside, const std::vector<Peak>& inside) {
    std::copy(inside.begin(), inside.end(),
              peaks.begin() + static_cast<std::ptrdiff_t>(firstInside));
    const auto buckets = static_cast<std::int64_t>(peaks.size());
    const BucketSpan touched = touching(audio.frameCount(), buckets, from, to);
    refresh(peaks, audio, {touched.first, firstInside});
    refresh(peaks, audio, {firstInside + static_cast<std::int64_t>(inside.size()), touched.last});
}

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
