#include "engine/cleaner.h"
#include "engine/cleaner_test_access.h"

#include "literal_cleaner.h"
#include "test_signals.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

namespace taln {
namespace {

constexpr double kRate = 44100.0;

std::vector<std::uint32_t> bits(const std::vector<float>& x) {
    std::vector<std::uint32_t> b(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        b[i] = std::bit_cast<std::uint32_t>(x[i]);
    }
    return b;
}

// Records every frame the clean run reached (after that frame's cancellation poll).
struct FrameLog {
    void operator()(std::int64_t frame) { frames.push_back(frame); }
    std::vector<std::int64_t> frames;
};

TEST(Clean, NonPositiveStrengthReturnsTheInputUntouched) {
    const std::vector<float> x = testsignals::speechLike(10000, kRate, 1);
    const std::vector<float> noise = Cleaner::estimateNoise(x);
    CancelToken token;
    for (float s : {0.0f, -0.0f, -0.5f, std::numeric_limits<float>::quiet_NaN()}) {
        const auto out = Cleaner::clean(x, noise, s, kRate, token);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(bits(*out), bits(x)) << "strength " << s; // not even pre-filtered
    }
    // Also when the token is already cancelled: there is no run to stop.
    token.cancel();
    EXPECT_TRUE(Cleaner::clean(x, noise, 0.0f, kRate, token).has_value());
}

TEST(Clean, StrengthAboveOneActsAsOneInsteadOfProducingNotANumbers) {
    // Past s = 5/3 the lag floor 1 − 0.6·s is negative, and where the lag factor falls to it
    // its square root is NaN; at s = ∞ that happens in every bin with a lagged power.
    std::vector<float> x(40000);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = 0.5f * static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
    }
    const std::vector<float> flat(1025, 1e-14f);
    CancelToken token;
    const auto one = Cleaner::clean(x, flat, 1.0f, kRate, token);
    ASSERT_TRUE(one.has_value());
    for (float s : {2.0f, std::numeric_limits<float>::infinity()}) {
        const auto got = Cleaner::clean(x, flat, s, kRate, token);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(bits(*got), bits(*one)) << "strength " << s;
    }
    for (float v : *one) {
        ASSERT_TRUE(std::isfinite(v));
    }
}

TEST(Clean, ADamagedSampleCostsItsNeighbourhoodNotTheRestOfTheChannel) {
    // A NaN or an infinity enters the pre-filter as silence; otherwise its recursion would make
    // every later sample NaN.
    std::vector<float> x = testsignals::speechLike(30000, kRate, 12);
    const std::vector<float> noise = Cleaner::estimateNoise(x);
    std::vector<float> silenced = x;
    x[1000] = std::numeric_limits<float>::quiet_NaN();
    x[20000] = -std::numeric_limits<float>::infinity();
    silenced[1000] = 0.0f;
    silenced[20000] = 0.0f;
    CancelToken token;
    const auto got = Cleaner::clean(x, noise, 0.6f, kRate, token);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(bits(*got), bits(*Cleaner::clean(silenced, noise, 0.6f, kRate, token)));
}

TEST(CleanDeathTest, ShortProfileOrBadRateStopsInsteadOfReadingPastTheProfile) {
    const std::vector<float> x(5000, 0.1f);
    CancelToken token;
    EXPECT_DEATH(Cleaner::clean(x, std::vector<float>(1024, 1e-14f), 0.5f, kRate, token),
                 "1025 bins");
    EXPECT_DEATH(Cleaner::clean(x, std::vector<float>(1025, 1e-14f), 0.5f, 0.0, token),
                 "sample rate");
}

TEST(Clean, EmptyAndTinyInputsKeepTheirLength) {
    const std::vector<float> noise(1025, 1e-14f);
    CancelToken token;
    const auto empty = Cleaner::clean({}, noise, 0.6f, kRate, token);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());

    // One sample: six frames (9 hops of extended signal), and one sample back.
    FrameLog log;
    const std::vector<float> one{0.5f};
    const auto single = CleanerTestAccess::cleanObserved(one, noise, 0.6f, kRate, token, log);
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(single->size(), 1u);
    EXPECT_EQ(log.frames.size(), 6u);

    // 512 × 100 + 1 samples: 106 frames.
    FrameLog longer;
    const std::vector<float> x = testsignals::whiteNoise(512 * 100 + 1, 0.1f, 2);
    const auto out = CleanerTestAccess::cleanObserved(x, noise, 0.6f, kRate, token, longer);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->size(), x.size());
    ASSERT_EQ(longer.frames.size(), 106u);
    for (std::size_t t = 0; t < longer.frames.size(); ++t) {
        ASSERT_EQ(longer.frames[t], static_cast<std::int64_t>(t));
    }
}

TEST(Clean, ExactZerosStayExactZeros) {
    const std::vector<float> zeros(30000, 0.0f);
    CancelToken token;
    for (float s : {0.01f, 0.6f, 1.0f}) {
        const auto out = Cleaner::clean(zeros, Cleaner::estimateNoise(zeros), s, kRate, token);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(bits(*out), bits(zeros)) << "strength " << s;
    }
}

TEST(Clean, UnitGainsReconstructThePrefilteredChannel) {
    // A zero profile makes every subtraction gain exactly 1, and at a strength of 1e-30 the
    // floor and the lag factor both round to exactly 1 in single precision: the spectral stage
    // is then transparent and only the framing, the windows and overlap-add remain.
    const std::vector<float> x = testsignals::speechLike(40000, kRate, 3);
    const std::vector<float> zeroProfile(1025, 0.0f);
    CancelToken token;
    const auto out = Cleaner::clean(x, zeroProfile, 1e-30f, kRate, token);
    ASSERT_TRUE(out.has_value());
    const std::vector<float> y = CleanerTestAccess::prefilter(x, kRate, 1e-30f);
    ASSERT_EQ(out->size(), y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        // Forward, inverse and four window products in single precision on values below 1:
        // a few ulps of the largest magnitude around.
        ASSERT_NEAR((*out)[i], y[i], 2e-6f) << "sample " << i;
    }
}

TEST(Clean, RemovesStationaryNoiseAndKeepsTheVoice) {
    // Speech plus stationary noise: cleaning at 0.6 lowers the pauses (noise only) far more
    // than the voiced parts.
    const std::vector<float> x = testsignals::speechLike(5 * 44100, kRate, 4);
    CancelToken token;
    const auto out = Cleaner::clean(x, Cleaner::estimateNoise(x), 0.6f, kRate, token);
    ASSERT_TRUE(out.has_value());
    const auto level = [](const std::vector<float>& v, std::int64_t from, std::int64_t to) {
        double sum = 0.0;
        for (std::int64_t i = from; i < to; ++i) {
            sum += double(v[i]) * v[i];
        }
        return std::sqrt(sum / double(to - from));
    };
    const std::int64_t syllable = 11025;
    // Syllable 7 is a pause; syllable 5's middle is voiced. In the pause, measure after the
    // gains have had 12 hops to fall (20 % of the gap per hop) and before the next frame
    // reaches into the voice.
    const double pauseBefore = level(x, 7 * syllable + 6144, 8 * syllable - 2048);
    const double pauseAfter = level(*out, 7 * syllable + 6144, 8 * syllable - 2048);
    const double voiceBefore = level(x, 5 * syllable + 3000, 6 * syllable - 3000);
    const double voiceAfter = level(*out, 5 * syllable + 3000, 6 * syllable - 3000);
    EXPECT_LT(pauseAfter, 0.5 * pauseBefore); // at least 6 dB less noise
    EXPECT_GT(voiceAfter, 0.6 * voiceBefore);
}

TEST(Clean, StreamingMatchesTheLiteralFormulationBitForBit) {
    // Lengths around the hop, the frame, the staging chunk (4096) and the cascade's blocks.
    const std::int64_t lengths[] = {1,    2,    511,  512,   513,   1535, 2047, 2048,
                                    2049, 3584, 4095, 4096,  4097,  6143, 6144, 6145,
                                    8191, 8192, 8193, 12289, 51201, 70000};
    const std::vector<float> source = testsignals::speechLike(70000, kRate, 5);
    const std::vector<float> profile = Cleaner::estimateNoise(source);
    CancelToken token;
    for (std::int64_t n : lengths) {
        const std::vector<float> x(source.begin(), source.begin() + n);
        for (float s : {0.03f, 0.6f, 1.0f}) {
            const auto got = Cleaner::clean(x, profile, s, kRate, token, Cleaner::kAllHum);
            ASSERT_TRUE(got.has_value());
            ASSERT_EQ(bits(*got), bits(literal::clean(x, profile, s, kRate)))
                << "length " << n << " strength " << s;
        }
    }
    // Another rate (17 sections) and a flat profile.
    const std::vector<float> x(source.begin(), source.begin() + 20000);
    const std::vector<float> flat(1025, 1e-14f);
    ASSERT_EQ(bits(*Cleaner::clean(x, flat, 0.8f, 1000.0, token, Cleaner::kAllHum)),
              bits(literal::clean(x, flat, 0.8f, 1000.0)));
    // The default is the whole comb; no hum is the high-pass alone; a mask keeps its notches in
    // their places in the order.
    EXPECT_EQ(bits(*Cleaner::clean(x, profile, 0.6f, kRate, token)),
              bits(literal::clean(x, profile, 0.6f, kRate)));
    EXPECT_EQ(bits(*Cleaner::clean(x, profile, 0.6f, kRate, token, Cleaner::kNoHum)),
              bits(literal::clean(x, profile, 0.6f, kRate, 0)));
    EXPECT_EQ(bits(*Cleaner::clean(x, profile, 0.6f, kRate, token, 0x0F03)),
              bits(literal::clean(x, profile, 0.6f, kRate, 0x0F03)));
}

// A stretch cleaned alone is the same stretch of the whole run, wherever it lies: at the start,
// across frame and hop boundaries, in the middle, the last sample, none; at strength 0 too.
TEST(Clean, PartIsTheSameStretchOfTheWholeRunBitForBit) {
    const std::vector<float> x = testsignals::speechLike(70000, kRate, 6);
    const std::vector<float> profile = Cleaner::estimateNoise(x);
    CancelToken token;
    const std::pair<std::int64_t, std::int64_t> stretches[] = {
        {0, 70000}, {0, 1}, {2047, 513}, {35000, 12289}, {69999, 1}, {70000, 0}};
    for (const float s : {0.0f, 0.6f}) {
        const std::vector<float> whole = *Cleaner::clean(x, profile, s, kRate, token, 0x0103);
        for (const auto& [from, length] : stretches) {
            // Filled with a value no cleaning gives, so that a sample left unwritten shows.
            std::vector<float> part(static_cast<std::size_t>(length), 1e30f);
            ASSERT_TRUE(Cleaner::cleanPart(x, profile, s, kRate, token, 0x0103, from, part));
            EXPECT_EQ(bits(part),
                      bits(std::vector<float>(whole.begin() + from, whole.begin() + from + length)))
                << "from " << from << " length " << length << " strength " << s;
        }
    }
}

// A channel long enough that its pre-filter runs in stretches at once (25 s at 8 kHz, where the
// warm-up is 65,024 samples, the second stretch starting at 98,768). Any part is still the same
// stretch of the whole run, bit for bit: one lending the stretches its place, one that starts
// past the first stretch (the stretches then run one after another), one ending a frame before
// the channel does. The whole run differs from one pass over the whole channel only by rounding.
TEST(Clean, LongChannelsAreCleanedTheSameByAnyPart) {
    constexpr double sr = 8000.0;
    constexpr std::int64_t n = 200000;
    const std::vector<float> x = testsignals::speechLike(n, sr, 14);
    const std::vector<float> profile = Cleaner::estimateNoise(x);
    CancelToken token;
    const std::pair<std::int64_t, std::int64_t> stretches[] = {
        {0, n}, {5000, 100000}, {100000, 30000}, {n - 2048 - 7, 7}, {n - 1, 1}};
    // The high-pass alone, and with the notches at 50 … 200 Hz (six sections).
    for (const Cleaner::HumMask hum : {Cleaner::kNoHum, Cleaner::HumMask{0x000F}}) {
        const std::vector<float> whole = *Cleaner::clean(x, profile, 0.6f, sr, token, hum);
        const std::vector<float> literal = literal::clean(x, profile, 0.6f, sr, hum);
        double err = 0.0;
        double ref = 0.0;
        for (std::int64_t i = 0; i < n; ++i) {
            err += (double(whole[i]) - literal[i]) * (double(whole[i]) - literal[i]);
            ref += double(literal[i]) * literal[i];
        }
        EXPECT_LT(std::sqrt(err / ref), 1e-7) << "hum " << hum;
        for (const auto& [from, length] : stretches) {
            std::vector<float> part(static_cast<std::size_t>(length), 1e30f);
            ASSERT_TRUE(Cleaner::cleanPart(x, profile, 0.6f, sr, token, hum, from, part));
            EXPECT_EQ(bits(part),
                      bits(std::vector<float>(whole.begin() + from, whole.begin() + from + length)))
                << "from " << from << " length " << length << " hum " << hum;
        }
    }
}

TEST(Clean, TokenCancelledBeforeTheRunStopsItBeforeAnyFrame) {
    const std::vector<float> x = testsignals::speechLike(100000, kRate, 6);
    const std::vector<float> noise = Cleaner::estimateNoise(x);
    CancelToken token;
    token.cancel();
    FrameLog log;
    EXPECT_FALSE(CleanerTestAccess::cleanObserved(x, noise, 0.6f, kRate, token, log).has_value());
    EXPECT_TRUE(log.frames.empty());
}

TEST(Clean, TokenCancelledDuringFrame200IsNoticedAtFrame256) {
    // 700 frames' worth of samples; the observer trips the token while frame 200 runs, on the
    // run's own thread, so the schedule is exact and free of timing. A poll every 512 frames
    // would let the run go on to frame 511.
    const std::vector<float> x = testsignals::whiteNoise(512 * 700, 0.1f, 7);
    const std::vector<float> noise = Cleaner::estimateNoise(x);
    CancelToken token;
    std::vector<std::int64_t> frames;
    auto tripAt200 = [&](std::int64_t frame) {
        frames.push_back(frame);
        if (frame == 200) {
            token.cancel();
        }
    };
    EXPECT_FALSE(
        CleanerTestAccess::cleanObserved(x, noise, 0.6f, kRate, token, tripAt200).has_value());
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), 255); // frames 201 … 255 still ran; the poll at 256 stopped it
    EXPECT_EQ(frames.size(), 256u);
}

TEST(Clean, ChannelsCleanedInParallelMatchOneAtATime) {
    const std::vector<float> left = testsignals::speechLike(60000, kRate, 8);
    const std::vector<float> right = testsignals::speechLike(60000, kRate, 9);
    const std::vector<float> pl = Cleaner::estimateNoise(left);
    const std::vector<float> pr = Cleaner::estimateNoise(right);
    CancelToken token;
    const auto wantLeft = Cleaner::clean(left, pl, 0.7f, kRate, token);
    const auto wantRight = Cleaner::clean(right, pr, 0.7f, kRate, token);
    std::optional<std::vector<float>> gotLeft;
    std::optional<std::vector<float>> gotRight;
    std::thread a([&] { gotLeft = Cleaner::clean(left, pl, 0.7f, kRate, token); });
    std::thread b([&] { gotRight = Cleaner::clean(right, pr, 0.7f, kRate, token); });
    a.join();
    b.join();
    EXPECT_EQ(bits(*gotLeft), bits(*wantLeft));
    EXPECT_EQ(bits(*gotRight), bits(*wantRight));
}

} // namespace
} // namespace taln
