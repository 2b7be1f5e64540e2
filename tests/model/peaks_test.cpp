// Waveform buckets and the common scale of both lanes.
#include "tests/model/model_harness.h"

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
    EXPECT_TRUE(TalnModel::peaks({}, 4096).empty());
    EXPECT_TRUE(TalnModel::peaks(channelsOf({{}}), 4096).empty());
    EXPECT_TRUE(TalnModel::peaks(channelsOf({{0.5f}}), 0).empty());
    EXPECT_TRUE(TalnModel::peaks(channelsOf({{0.5f}}), -3).empty());
}

TEST(Peaks, FewerSamplesThanBucketsRepeatSamples) {
    // Ranges [0,1), [0,1), [1,2), [1,2): every bucket covers at least one sample.
    const auto p = TalnModel::peaks(channelsOf({{0.5f, -0.25f}}), 4);
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
    const auto p = TalnModel::peaks(channelsOf({ramp}), 4096);
    ASSERT_EQ(p.size(), 4096u);
    for (std::size_t b = 0; b < p.size(); ++b) {
        ASSERT_EQ(p[b].hi, static_cast<float>(2 * b)) << b;
        ASSERT_EQ(p[b].lo, -static_cast<float>(2 * b + 1)) << b;
    }

    // An uneven split still covers every sample exactly once and ends at the last one.
    std::vector<float> spikes(1000, 0.0f);
    spikes[999] = 0.75f;
    const auto q = TalnModel::peaks(channelsOf({spikes}), 7);
    ASSERT_EQ(q.size(), 7u);
    EXPECT_EQ(q.back().hi, 0.75f);
    for (std::size_t b = 0; b + 1 < q.size(); ++b) {
        EXPECT_EQ(q[b], (Peak{0.0f, 0.0f}));
    }
}

TEST(Peaks, SignsAndChannelsCombine) {
    EXPECT_EQ(TalnModel::peaks(channelsOf({{0.1f, 0.3f}}), 1).front(), (Peak{0.0f, 0.3f}));
    EXPECT_EQ(TalnModel::peaks(channelsOf({{-0.1f, -0.3f}}), 1).front(), (Peak{-0.3f, 0.0f}));
    EXPECT_EQ(TalnModel::peaks(channelsOf({{0.0f, 0.0f}}), 1).front(), (Peak{0.0f, 0.0f}));
    EXPECT_EQ(TalnModel::peaks(channelsOf({{1.0f, 1.0f}, {-1.0f, -1.0f}}), 1).front(),
              (Peak{-1.0f, 1.0f}));
    // The second channel is read over the same ranges as the first.
    const auto p = TalnModel::peaks(channelsOf({{0.0f, 0.2f}, {-0.6f, 0.0f}}), 2);
    EXPECT_EQ(p, (std::vector<Peak>{{-0.6f, 0.0f}, {0.0f, 0.2f}}));
}

TEST(Peaks, NotANumberChangesNothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto p = TalnModel::peaks(channelsOf({{nan, 0.4f, nan, -0.2f}}), 2);
    EXPECT_EQ(p, (std::vector<Peak>{{0.0f, 0.4f}, {-0.2f, 0.0f}}));
}

TEST(Peaks, ShorterSecondChannelIsNeverReadPastItsEnd) {
    const auto p = TalnModel::peaks(channelsOf({{0.1f, 0.1f, 0.1f, 0.1f}, {-0.5f}}), 4);
    EXPECT_EQ(p, (std::vector<Peak>{{-0.5f, 0.1f}, {0.0f, 0.1f}, {0.0f, 0.1f}, {0.0f, 0.1f}}));
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
