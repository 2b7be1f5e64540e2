// Waveform buckets and the common scale of both lanes.
#include "tests/model/model_harness.h"

#include "model/waveform_peaks.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace taln {
namespace {

Channels channelsOf(std::vector<std::vector<float>> data) {
    Channels channels;
    for (auto& c : data) {
        channels.push_back(std::make_shared<const Channel>(std::move(c)));
    }
    return channels;
}

TEST(Peaks, NothingToBucketGivesNoPeaks) {
    EXPECT_TRUE(WaveformPeaks::peaks({}, 4096).empty());
    EXPECT_TRUE(WaveformPeaks::peaks(channelsOf({{}}), 4096).empty());
    EXPECT_TRUE(WaveformPeaks::peaks(channelsOf({{0.5f}}), 0).empty());
    EXPECT_TRUE(WaveformPeaks::peaks(channelsOf({{0.5f}}), -3).empty());
}

TEST(Peaks, FewerSamplesThanBucketsRepeatSamples) {
    // Ranges [0,1), [0,1), [1,2), [1,2): every bucket covers at least one sample.
    const auto p = WaveformPeaks::peaks(channelsOf({{0.5f, -0.25f}}), 4);
    const std::vector<Peak> expected{{0.0f, 0.5f}, {0.0f, 0.5f}, {-0.25f, 0.0f}, {-0.25f, 0.0f}};
    EXPECT_EQ(p, expected);
}

TEST(Peaks, EachBucketCoversItsOwnStretch) {
    // 8192 samples in 4096 buckets: two per bucket; sample i is i, negated when i is odd, so
    // bucket b holds 2b and -(2b + 1).
    std::vector<float> ramp(8192);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = (i % 2 == 0 ? 1.0f : -1.0f) * static_cast<float>(i);
    }
    const auto p = WaveformPeaks::peaks(channelsOf({ramp}), 4096);
    ASSERT_EQ(p.size(), 4096u);
    for (std::size_t b = 0; b < p.size(); ++b) {
        ASSERT_EQ(p[b].hi, static_cast<float>(2 * b)) << b;
        ASSERT_EQ(p[b].lo, -static_cast<float>(2 * b + 1)) << b;
    }

    // An uneven split still covers every sample exactly once and ends at the last one.
    std::vector<float> spikes(1000, 0.0f);
    spikes[999] = 0.75f;
    const auto q = WaveformPeaks::peaks(channelsOf({spikes}), 7);
    ASSERT_EQ(q.size(), 7u);
    EXPECT_EQ(q.back().hi, 0.75f);
    for (std::size_t b = 0; b + 1 < q.size(); ++b) {
        EXPECT_EQ(q[b], (Peak{0.0f, 0.0f}));
    }
}

TEST(Peaks, SignsAndChannelsCombine) {
    EXPECT_EQ(WaveformPeaks::peaks(channelsOf({{0.1f, 0.3f}}), 1).front(), (Peak{0.0f, 0.3f}));
    EXPECT_EQ(WaveformPeaks::peaks(channelsOf({{-0.1f, -0.3f}}), 1).front(), (Peak{-0.3f, 0.0f}));
    EXPECT_EQ(WaveformPeaks::peaks(channelsOf({{0.0f, 0.0f}}), 1).front(), (Peak{0.0f, 0.0f}));
    EXPECT_EQ(WaveformPeaks::peaks(channelsOf({{1.0f, 1.0f}, {-1.0f, -1.0f}}), 1).front(),
              (Peak{-1.0f, 1.0f}));
    // The second channel is read over the same ranges as the first.
    const auto p = WaveformPeaks::peaks(channelsOf({{0.0f, 0.2f}, {-0.6f, 0.0f}}), 2);
    EXPECT_EQ(p, (std::vector<Peak>{{-0.6f, 0.0f}, {0.0f, 0.2f}}));
}

TEST(Peaks, NotANumberChangesNothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto p = WaveformPeaks::peaks(channelsOf({{nan, 0.4f, nan, -0.2f}}), 2);
    EXPECT_EQ(p, (std::vector<Peak>{{0.0f, 0.4f}, {-0.2f, 0.0f}}));
}

TEST(Peaks, ShorterSecondChannelIsNeverReadPastItsEnd) {
    const auto p = WaveformPeaks::peaks(channelsOf({{0.1f, 0.1f, 0.1f, 0.1f}, {-0.5f}}), 4);
    EXPECT_EQ(p, (std::vector<Peak>{{-0.5f, 0.1f}, {0.0f, 0.1f}, {0.0f, 0.1f}, {0.0f, 0.1f}}));
}

// Zoomed-in columns read summaries where they span whole buckets and samples at their ends:
// the result must be what reading every sample of each column gives, at every zoom, and a
// chunk replaced by a cleaned piece must never be read from the summary of the one before.
TEST(ColumnPeaks, EqualEverySampleReadAndFollowReplacedChunks) {
    const std::int64_t frames = 2 * kChunkFrames + 12345;
    std::vector<float> left(static_cast<std::size_t>(frames));
    std::vector<float> right(left.size());
    for (std::size_t i = 0; i < left.size(); ++i) {
        left[i] = std::sin(0.0137f * static_cast<float>(i)) * static_cast<float>(i % 977) / 977.0f;
        right[i] = -0.5f * std::cos(0.0021f * static_cast<float>(i));
    }
    left[70000] = std::numeric_limits<float>::quiet_NaN();
    ChunkedAudio audio = ChunkedAudio::fromChannels(channelsOf({left, right}));
    const auto brute = [&](const ChunkedAudio& track, double from, double to,
                           std::int64_t columns) {
        const Channels whole = test::copyOf(track);
        to = std::min(to, static_cast<double>(frames));
        const double width = (to - from) / static_cast<double>(columns);
        std::vector<Peak> result;
        for (std::int64_t c = 0; c < columns; ++c) {
            const auto a = static_cast<std::int64_t>(std::floor(from + c * width));
            const auto b =
                std::max(a + 1, static_cast<std::int64_t>(std::floor(from + (c + 1) * width)));
            Peak peak;
            for (const ChannelPtr& channel : whole) {
                for (std::int64_t i = a; i < std::min(b, frames); ++i) {
                    const float x = (*channel)[static_cast<std::size_t>(i)];
                    peak.lo = x < peak.lo ? x : peak.lo;
                    peak.hi = x > peak.hi ? x : peak.hi;
                }
            }
            result.push_back(peak);
        }
        return result;
    };
    struct Row {
        double from, to;
        std::int64_t columns;
    };
    const Row rows[] = {
        {0.0, static_cast<double>(frames), 700},             // hundreds of buckets a column
        {1000.5, 90000.25, 333},                             // ragged ends
        {131000.0, 131400.0, 800},                           // half a frame a column
        {200000.0, static_cast<double>(frames) + 500.0, 64}, // held at the end
    };
    WaveformPeaks::SummaryCache cache;
    for (const Row& row : rows) {
        EXPECT_EQ(WaveformPeaks::columnPeaks(audio, row.from, row.to, row.columns, cache),
                  brute(audio, row.from, row.to, row.columns))
            << row.from;
    }
    // A loud piece replaces the middle chunk; the cache is asked again.
    auto loud = std::make_shared<Channel>(static_cast<std::size_t>(kChunkFrames), 0.9f);
    audio = audio.withPiece(1, {loud, loud});
    EXPECT_EQ(WaveformPeaks::columnPeaks(audio, 0.0, static_cast<double>(frames), 50, cache),
              brute(audio, 0.0, static_cast<double>(frames), 50));
}

TEST(PeakScale, FollowsTheLoudestSampleAndNeverReachesZero) {
    test::Harness h;
    std::vector<float> quietThenLoud(4410, 0.1f);
    quietThenLoud[1000] = -0.8f;
    h.loadAndSettle(h.writeWav("loud.wav", {quietThenLoud}));
    // 16-bit WAV: within one step of 2^-15 of -0.8.
    EXPECT_NEAR(h.model->peakScale(), 0.8f, 1.0f / 32768.0f);
    EXPECT_EQ(h.model->origPeaks().size(), 4096u);

    h.loadAndSettle(h.writeWav("silent.wav", {std::vector<float>(4410, 0.0f)}));
    EXPECT_EQ(h.model->peakScale(), 0.0001f);
    for (const Peak& p : h.model->origPeaks()) {
        ASSERT_EQ(p, (Peak{0.0f, 0.0f}));
    }
}

} // namespace
} // namespace taln
