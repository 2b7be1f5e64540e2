#include "engine/cleaner.h"
#include "engine/noise_sample.h"
#include "engine/real_fft.h"
#include "engine/worker_pool.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <thread>
#include <vector>

namespace taln {
namespace {

constexpr float kFloor = 1e-14f;

// The profile of the given frames worked out independently: the mean power spectrum in
// RealFFT units, smoothed over ±2 bins (3 or 4 bins at the edges), in double precision.
std::vector<double> expectedProfile(const std::vector<float>& x,
                                    const std::vector<std::int64_t>& frames) {
    const auto& w = Cleaner::window();
    RealFFT fft(2048);
    std::vector<double> mean(1025, 0.0);
    std::vector<float> frame(2048);
    for (std::int64_t f : frames) {
        for (int i = 0; i < 2048; ++i) {
            frame[i] = x[f * 512 + i] * w[i];
        }
        fft.forward(frame.data());
        mean[0] += double(fft.re()[0]) * fft.re()[0];
        mean[1024] += double(fft.im()[0]) * fft.im()[0];
        for (int k = 1; k < 1024; ++k) {
            mean[k] += double(fft.re()[k]) * fft.re()[k] + double(fft.im()[k]) * fft.im()[k];
        }
    }
    std::vector<double> out(1025);
    for (int b = 0; b <= 1024; ++b) {
        const int lo = std::max(b - 2, 0);
        const int hi = std::min(b + 2, 1024);
        double sum = 0.0;
        for (int k = lo; k <= hi; ++k) {
            sum += mean[k];
        }
        out[b] = std::max(sum / (hi - lo + 1) / double(frames.size()), double(kFloor));
    }
    return out;
}

// Single-precision sums of at most a few hundred spectra against a double reference.
::testing::AssertionResult profileMatches(const std::vector<float>& got,
                                          const std::vector<double>& want) {
    if (got.size() != 1025) {
        return ::testing::AssertionFailure() << "size " << got.size();
    }
    for (int b = 0; b <= 1024; ++b) {
        if (std::abs(got[b] - want[b]) > 1e-4 * want[b]) {
            return ::testing::AssertionFailure()
                   << "bin " << b << ": " << got[b] << " vs " << want[b];
        }
    }
    return ::testing::AssertionSuccess();
}

// White noise whose level rises from hop to hop, so frame f is quieter than frame f + 1 and
// the quietest K frames are exactly frames 0 … K − 1.
std::vector<float> risingNoise(std::int64_t frames) {
    const std::int64_t n = 2048 + (frames - 1) * 512;
    std::vector<float> x = testsignals::whiteNoise(n, 0.1f, 21);
    for (std::int64_t i = 0; i < n; ++i) {
        x[i] *= static_cast<float>(std::pow(1.05, double(i / 512)));
    }
    return x;
}

std::vector<std::int64_t> firstFrames(std::int64_t k) {
    std::vector<std::int64_t> f(k);
    std::iota(f.begin(), f.end(), 0);
    return f;
}

TEST(NoiseProfile, ShortSilentOrNearSilentChannelsGiveTheFlatFloor) {
    const std::vector<float> flat(1025, kFloor);
    EXPECT_EQ(Cleaner::estimateNoise({}), flat);
    EXPECT_EQ(Cleaner::estimateNoise(testsignals::whiteNoise(2047, 0.5f, 1)), flat);
    EXPECT_EQ(Cleaner::estimateNoise(std::vector<float>(50000, 0.0f)), flat);
    // Mean square 0.9e-9 in every frame: at or below the silence threshold of 1e-9.
    EXPECT_EQ(Cleaner::estimateNoise(std::vector<float>(50000, std::sqrt(0.9e-9f))), flat);
}

TEST(NoiseProfile, OneWholeFrameIsThatFramesSmoothedSpectrum) {
    const std::vector<float> x = testsignals::whiteNoise(2048, 0.3f, 2);
    EXPECT_TRUE(profileMatches(Cleaner::estimateNoise(x), expectedProfile(x, {0})));
    // Up to 511 samples past the last whole frame take no part, however loud.
    std::vector<float> longer = x;
    longer.resize(2048 + 511, 1.0f);
    EXPECT_EQ(Cleaner::estimateNoise(longer), Cleaner::estimateNoise(x));
}

TEST(NoiseProfile, AveragesTheQuietestTenthOfAllFramesButAtLeastFour) {
    // 49 frames: 49 / 10 = 4 is below the minimum, so 4. 50 frames: 5. 1000 frames: 100.
    for (auto [frames, k] : {std::pair<std::int64_t, std::int64_t>{49, 4}, {50, 5}, {1000, 100}}) {
        const std::vector<float> x = risingNoise(frames);
        EXPECT_TRUE(profileMatches(Cleaner::estimateNoise(x), expectedProfile(x, firstFrames(k))))
            << frames << " frames";
        EXPECT_FALSE(
            profileMatches(Cleaner::estimateNoise(x), expectedProfile(x, firstFrames(k + 1))))
            << frames << " frames";
        const Cleaner::NoiseEstimate detailed = Cleaner::estimateNoiseDetailed(x);
        EXPECT_EQ(detailed.profile, Cleaner::estimateNoise(x));
        EXPECT_EQ(detailed.frames, firstFrames(k));
    }
}

TEST(NoiseProfile, TakesAllCandidatesWhenFewerThanKQualify) {
    // 20 frames (K would be 4), silent except the last two hops (21 and 22), which only frames
    // 18 and 19 cover: two candidates, both averaged.
    std::vector<float> x(2048 + 19 * 512, 0.0f);
    const std::vector<float> burst = testsignals::whiteNoise(1024, 0.2f, 4);
    std::copy(burst.begin(), burst.end(), x.begin() + 21 * 512);
    EXPECT_TRUE(profileMatches(Cleaner::estimateNoise(x), expectedProfile(x, {18, 19})));
    // More than half the candidates averaged: 1000 frames (K = 100), silent up to hop 853, so
    // that only frames 850 … 999 count, in rising noise: the quietest 100 are 850 … 949.
    std::vector<float> late(2048 + 999 * 512, 0.0f);
    const std::vector<float> tail = risingNoise(147); // hops 853 ... 1002
    std::copy(tail.begin(), tail.end(), late.end() - static_cast<std::ptrdiff_t>(tail.size()));
    std::vector<std::int64_t> expected(100);
    std::iota(expected.begin(), expected.end(), 850);
    const Cleaner::NoiseEstimate detailed = Cleaner::estimateNoiseDetailed(late);
    EXPECT_EQ(detailed.frames, expected);
    EXPECT_TRUE(profileMatches(detailed.profile, expectedProfile(late, expected)));
}

TEST(NoiseProfile, EqualEnergiesAreTakenInFrameOrder) {
    // Each hop holds one sample of 0.5 (at a different place, so frames differ in spectrum)
    // except the last hop, which is silent. Frame energies are exact: frame 7 (3 × 0.25) is the
    // quietest, frames 0 … 6 (4 × 0.25) tie. With K = 4 the profile averages frames 7, 0, 1, 2.
    std::vector<float> x(2048 + 7 * 512, 0.0f);
    for (int hop = 0; hop < 10; ++hop) {
        x[hop * 512 + 37 * hop + 5] = 0.5f;
    }
    EXPECT_TRUE(profileMatches(Cleaner::estimateNoise(x), expectedProfile(x, {7, 0, 1, 2})));
    // Reported in ascending order. Their mean energy (0.75 + 3 × 1) / 4 over the median of the
    // eight (1) is exact in single precision.
    const Cleaner::NoiseEstimate detailed = Cleaner::estimateNoiseDetailed(x);
    EXPECT_EQ(detailed.frames, (std::vector<std::int64_t>{0, 1, 2, 7}));
    EXPECT_EQ(detailed.quietToMedian, 0.9375f);
    // A silent channel: nothing averaged, nothing doubtful.
    EXPECT_TRUE(Cleaner::estimateNoiseDetailed(std::vector<float>(50000, 0.0f)).frames.empty());
    EXPECT_EQ(Cleaner::estimateNoiseDetailed(std::vector<float>(50000, 0.0f)).quietToMedian, 0.0f);
}

TEST(NoiseProfile, QuietMiddleOfALoudRecordingIsTheProfile) {
    // 100 frames, so K = 10: speech, then 13 hops of faint noise (hops 40 … 52), then speech
    // again. Exactly frames 40 … 49 lie wholly in the quiet stretch; no speech enters.
    std::vector<float> x = testsignals::speechLike(2048 + 99 * 512, 44100.0, 9);
    const std::vector<float> quiet = testsignals::whiteNoise(13 * 512, 0.001f, 10);
    std::copy(quiet.begin(), quiet.end(), x.begin() + 40 * 512);
    std::vector<std::int64_t> frames(10);
    std::iota(frames.begin(), frames.end(), 40);
    EXPECT_TRUE(profileMatches(Cleaner::estimateNoise(x), expectedProfile(x, frames)));
    // A stretch from hop 30 on (64 frames, so K = 6) takes 6 of the same quiet frames, counted
    // from the stretch's start (channel frame 40 is its frame 10), far quieter than its median.
    const std::span<const float> stretch =
        std::span<const float>(x).subspan(30 * 512, 2048 + 63 * 512);
    const Cleaner::NoiseEstimate detailed = Cleaner::estimateNoiseDetailed(stretch);
    ASSERT_EQ(detailed.frames.size(), 6u);
    EXPECT_GE(detailed.frames.front(), 10);
    EXPECT_LE(detailed.frames.back(), 19);
    EXPECT_LT(detailed.quietToMedian, 0.01f);
}

TEST(Window, IsThePeriodicSquareRootHannAndBuiltOnceUnderConcurrentFirstUse) {
    std::vector<const std::array<float, 2048>*> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] { seen[i] = &Cleaner::window(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (auto* p : seen) {
        EXPECT_EQ(p, seen[0]);
    }
    const auto& w = Cleaner::window();
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_EQ(w[1024], 1.0f);
    EXPECT_EQ(w[512], static_cast<float>(std::sqrt(0.5)));
    EXPECT_EQ(w[1536], static_cast<float>(std::sqrt(0.5)));
    for (int i = 1; i < 2048; ++i) {
        ASSERT_EQ(w[i], w[2048 - i]) << i;
    }
    // Squares of four windows a hop apart add up to 2 (single-precision rounding of w only).
    for (int i = 0; i < 512; ++i) {
        double sum = 0.0;
        for (int j = 0; j < 4; ++j) {
            sum += double(w[i + 512 * j]) * w[i + 512 * j];
        }
        ASSERT_NEAR(sum, 2.0, 1e-6) << i;
    }
}

// Noise samples measured in steps on a pool (the energies summed in halves, the profile, the
// hum lines and the track at once, two channels together) are the ones `measure` gives, bit
// for bit: of whole channels and of a stretch of them.
TEST(NoiseSample, MeasuredOnAPoolGiveWhatMeasureGives) {
    constexpr double kRate = 44100.0;
    const std::vector<float> x = testsignals::speechLike(30 * 44100, kRate, 5);
    const std::vector<float> y = testsignals::speechLike(30 * 44100, kRate, 6);
    const std::span<const float> channels[] = {x, y};
    WorkerPool pool(3);
    const std::pair<std::int64_t, std::int64_t> stretches[] = {
        {0, std::numeric_limits<std::int64_t>::max()}, {44100 + 100, 12 * 44100}};
    for (const auto& [first, last] : stretches) {
        const std::vector<NoiseSample> stepped =
            NoiseSample::measureAll(channels, kRate, first, last, &pool);
        ASSERT_EQ(stepped.size(), 2u);
        for (std::size_t c = 0; c < 2; ++c) {
            const NoiseSample measured = NoiseSample::measure(channels[c], kRate, first, last);
            EXPECT_NE(measured.hum, Cleaner::kNoHum) << first;
            EXPECT_EQ(stepped[c].hum, measured.hum) << first;
            EXPECT_EQ(stepped[c].profile, measured.profile) << first;
            EXPECT_EQ(stepped[c].frameStarts, measured.frameStarts) << first;
            EXPECT_EQ(stepped[c].quietToMedian, measured.quietToMedian) << first;
            EXPECT_EQ(stepped[c].quietToLoud, measured.quietToLoud) << first;
            EXPECT_EQ(stepped[c].track.largestRaise(), measured.track.largestRaise()) << first;
        }
    }
}

} // namespace
} // namespace taln
