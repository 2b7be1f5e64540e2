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

// `peak` widened by samples [0, count) of several buffers at once: eight running minima and
// maxima the compiler keeps in vector registers (one pass at memory speed; a single running
// pair is a chain of dependent compares). The same values as widen(): NaN passes both tests.
void widenFast(Peak& peak, const float* samples, std::int64_t count) {
    constexpr int kLanes = 8;
    float lo[kLanes] = {};
    float hi[kLanes] = {};
    std::int64_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        for (int j = 0; j < kLanes; ++j) {
            const float x = samples[i + j];
            lo[j] = x < lo[j] ? x : lo[j];
            hi[j] = x > hi[j] ? x : hi[j];
        }
    }
    for (int j = 0; j < kLanes; ++j) {
        peak.lo = lo[j] < peak.lo ? lo[j] : peak.lo;
        peak.hi = hi[j] > peak.hi ? hi[j] : peak.hi;
    }
    widen(peak, samples + i, count - i);
}

// Widens `peak` by frames [from, to) of every channel of `audio`.
void widenFrames(Peak& peak, const ChunkedAudio& audio, std::int64_t from, std::int64_t to) {
    if (from >= to) {
        return;
    }
    for (int c = 0; c < audio.channelCount(); ++c) {
        audio.forEachSpan(c, from, to, [&](const float* samples, std::int64_t count, std::int64_t) {
            widenFast(peak, samples, count);
        });
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

const std::vector<Peak>& SummaryCache::of(const ChunkedAudio& audio, std::int64_t chunk) {
    const int channels = audio.channelCount();
    const float* key = audio.chunkData(0, chunk);
    const auto live = [&](const Entry& entry) {
        if (static_cast<int>(entry.chunks.size()) != channels) {
            return false;
        }
        for (int c = 0; c < channels; ++c) {
            if (entry.chunks[static_cast<std::size_t>(c)].lock().get() !=
                audio.chunkData(c, chunk)) {
                return false;
            }
        }
        return true;
    };
    if (const auto found = entries_.find(key); found != entries_.end() && live(found->second)) {
        return found->second.buckets;
    }
    // Summaries of chunks that are gone are dropped before the table grows past what two
    // tracks of this length hold.
    if (entries_.size() >= 2 * static_cast<std::size_t>(audio.chunkCount()) + 16) {
        std::erase_if(entries_, [](const auto& entry) { return entry.second.chunks[0].expired(); });
    }
    Entry entry;
    for (int c = 0; c < channels; ++c) {
        entry.chunks.emplace_back(audio.chunk(c, chunk));
    }
    const std::int64_t frames = audio.chunkFrames(chunk);
    const std::int64_t start = ChunkedAudio::chunkStart(chunk);
    entry.buckets.resize(static_cast<std::size_t>((frames + kSummaryFrames - 1) / kSummaryFrames));
    for (std::size_t b = 0; b < entry.buckets.size(); ++b) {
        const std::int64_t first = start + static_cast<std::int64_t>(b) * kSummaryFrames;
        widenFrames(entry.buckets[b], audio, first,
                    std::min(start + frames, first + kSummaryFrames));
    }
    return entries_.insert_or_assign(key, std::move(entry)).first->second.buckets;
}

std::vector<Peak> columnPeaks(const ChunkedAudio& audio, double from, double to,
                              std::int64_t columns, SummaryCache& cache) {
    const std::int64_t n = audio.frameCount();
    if (columns <= 0 || n <= 0) {
        return {};
    }
    const double last = static_cast<double>(n);
    from = std::clamp(from, 0.0, last);
    to = std::clamp(to, from, last);
    const double width = (to - from) / static_cast<double>(columns);
    constexpr std::int64_t perChunk = kChunkFrames / kSummaryFrames;
    std::vector<Peak> result(static_cast<std::size_t>(columns));
    const auto edge = [&](std::int64_t c) {
        return std::min(
            n, static_cast<std::int64_t>(std::floor(from + static_cast<double>(c) * width)));
    };
    std::int64_t begin = edge(0);
    for (std::int64_t c = 0; c < columns; ++c) {
        const std::int64_t next = edge(c + 1);
        const std::int64_t end = std::min(n, std::max(next, begin + 1));
        Peak& peak = result[static_cast<std::size_t>(c)];
        // Whole summary buckets [first, last) inside the column.
        const std::int64_t first = (begin + kSummaryFrames - 1) / kSummaryFrames;
        const std::int64_t lastBucket = end / kSummaryFrames;
        if (lastBucket - first < 2) {
            widenFrames(peak, audio, begin, end);
        } else {
            widenFrames(peak, audio, begin, first * kSummaryFrames);
            for (std::int64_t b = first; b < lastBucket;) {
                const std::int64_t chunk = b / perChunk;
                const std::vector<Peak>& summary = cache.of(audio, chunk);
                const std::int64_t stop = std::min(lastBucket, (chunk + 1) * perChunk);
                for (; b < stop; ++b) {
                    const Peak& bucket = summary[static_cast<std::size_t>(b - chunk * perChunk)];
                    peak.lo = std::min(peak.lo, bucket.lo);
                    peak.hi = std::max(peak.hi, bucket.hi);
                }
            }
            widenFrames(peak, audio, lastBucket * kSummaryFrames, end);
        }
        begin = std::max(begin, next);
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
