#include "engine/biquad_cascade.h"
#include "engine/cleaner_test_access.h"
#include "engine/cleaning_pieces.h"

#include "literal_cleaner.h"
#include "test_signals.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

namespace taln {
namespace {

using Kernel = BiquadCascade::Kernel;

// Bit patterns, so that −0 and +0 or two NaNs are told apart.
std::vector<std::uint32_t> bits(const std::vector<float>& x) {
    std::vector<std::uint32_t> b(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        b[i] = std::bit_cast<std::uint32_t>(x[i]);
    }
    return b;
}

double rms(const std::vector<float>& x, std::size_t from) {
    double sum = 0.0;
    for (std::size_t i = from; i < x.size(); ++i) {
        sum += double(x[i]) * x[i];
    }
    return std::sqrt(sum / double(x.size() - from));
}

double relativeRms(std::span<const float> got, std::span<const float> want) {
    double err = 0.0;
    double ref = 0.0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        err += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
        ref += double(want[i]) * want[i];
    }
    return std::sqrt(err / ref);
}

std::vector<float> sine(double hz, double sr, std::int64_t n) {
    std::vector<float> x(n);
    for (std::int64_t i = 0; i < n; ++i) {
        x[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * i / sr));
    }
    return x;
}

TEST(Prefilter, SectionCountsFollowStrengthAndSampleRate) {
    // Strength 1 at 44.1 kHz: 2 high-pass + 8 + 8 notches, the two at 300 Hz identical.
    const auto full = CleanerTestAccess::prefilterSections(44100.0, 1.0f);
    ASSERT_EQ(full.size(), 18u);
    const auto& a = full[2 + 5];     // 50 Hz × 6
    const auto& b = full[2 + 8 + 4]; // 60 Hz × 5
    EXPECT_EQ(a.b0, b.b0);
    EXPECT_EQ(a.b1, b.b1);
    EXPECT_EQ(a.a2, b.a2);

    // 0.05 itself (in single precision) leaves the notches out; anything above adds them.
    EXPECT_EQ(CleanerTestAccess::prefilterSections(44100.0, 0.05f).size(), 2u);
    EXPECT_EQ(CleanerTestAccess::prefilterSections(44100.0, std::nextafter(0.05f, 1.0f)).size(),
              18u);
    // At 1 kHz only notches below 450 Hz: 50 … 400 (8) and 60 … 420 (7).
    EXPECT_EQ(CleanerTestAccess::prefilterSections(1000.0, 0.5f).size(), 17u);

    // The designs agree with the formulas written out plainly.
    for (float s : {0.01f, 0.3f, 1.0f}) {
        const auto got = CleanerTestAccess::prefilterSections(44100.0, s);
        const auto want = literal::sections(44100.0, s);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].b0, want[k].b0);
            EXPECT_EQ(got[k].b1, want[k].b1);
            EXPECT_EQ(got[k].b2, want[k].b2);
            EXPECT_EQ(got[k].a1, want[k].a1);
            EXPECT_EQ(got[k].a2, want[k].a2);
        }
    }
}

TEST(Prefilter, FirstSampleIsTheProductOfTheLeadingCoefficients) {
    const std::vector<float> x(100, 0.75f);
    for (float s : {0.04f, 0.6f}) {
        double gain = 1.0;
        for (const auto& section : CleanerTestAccess::prefilterSections(44100.0, s)) {
            gain *= section.b0;
        }
        const std::vector<float> y = CleanerTestAccess::prefilter(x, 44100.0, s);
        EXPECT_EQ(y[0], static_cast<float>(gain * 0.75)) << "strength " << s;
    }
}

TEST(Prefilter, RemovesDcAndHumAndPassesSpeechBand) {
    constexpr double sr = 44100.0;
    constexpr std::int64_t n = 88200;
    // DC settles to zero (a high-pass with corner ≥ 40 Hz, two seconds later).
    const std::vector<float> dc =
        CleanerTestAccess::prefilter(std::vector<float>(n, 1.0f), sr, 0.5f);
    EXPECT_LT(std::abs(dc.back()), 1e-6f);
    // 50 Hz hum at s = 0.5 falls by more than 40 dB once the Q = 30 notch has settled
    // (its time constant is about 0.1 s; measure over the second second).
    const std::vector<float> hum = CleanerTestAccess::prefilter(sine(50.0, sr, n), sr, 0.5f);
    EXPECT_LT(rms(hum, n / 2), 0.01 * std::sqrt(0.5));
    // 1 kHz lies above the corner and between the notches: its level barely changes.
    const std::vector<float> voice = CleanerTestAccess::prefilter(sine(1000.0, sr, n), sr, 0.5f);
    EXPECT_NEAR(rms(voice, n / 2), std::sqrt(0.5), 0.02 * std::sqrt(0.5));
    EXPECT_EQ(voice.size(), static_cast<std::size_t>(n));
    EXPECT_TRUE(CleanerTestAccess::prefilter({}, sr, 0.5f).empty());
}

TEST(Prefilter, EveryKernelAndBlockSizeMatchesWholePassesBitForBit) {
    struct Case {
        double sr;
        float s;
        Cleaner::HumMask hum;
    };
    // 2 sections (one vector, lanes unused), 17 (last vector part-full) and 18; a hum mask of the
    // 50 Hz series up to 300 Hz (8 sections), one of 60 and both 300 Hz notches (5), and none
    // (2, at a strength where the notches would be on).
    const Case cases[] = {{44100.0, 0.03f, Cleaner::kAllHum},
                          {1000.0, 0.5f, Cleaner::kAllHum},
                          {44100.0, 0.6f, Cleaner::kAllHum},
                          {44100.0, 1.0f, Cleaner::kAllHum},
                          {44100.0, 0.6f, 0x003F},
                          {44100.0, 0.6f, 0x1121},
                          {44100.0, 0.6f, Cleaner::kNoHum}};
    std::vector<float> x = testsignals::speechLike(20000, 44100.0, 17);
    // Exact zeros at the start and inside test that sections start from, and keep, rest.
    std::fill(x.begin(), x.begin() + 300, 0.0f);
    std::fill(x.begin() + 5000, x.begin() + 5100, -0.0f);
    for (const Case& c : cases) {
        const auto want = bits(literal::prefilter(x, c.sr, c.s, c.hum));
        for (Kernel kernel : {Kernel::baseline, Kernel::avx2}) {
            for (std::int64_t block : {1, 7, 512, 4096, 5000, 20000}) {
                const auto got =
                    bits(CleanerTestAccess::prefilterWith(kernel, x, c.sr, c.s, block, -1, c.hum));
                ASSERT_EQ(got, want) << "kernel " << int(kernel) << " block " << block << " sr "
                                     << c.sr << " s " << c.s << " hum " << c.hum;
            }
        }
    }
    // Without AVX2 the AVX2 kernel falls back to the baseline one and is not tested here.
    RecordProperty("avx2", BiquadCascade::avx2Available() ? "yes" : "no");
}

TEST(Prefilter, AnySectionsAndCountsMatchWholePasses) {
    // Every count from 1 to 18, the pre-filter's most: the vectors filled in every way (one lane
    // used up to all lanes of the last vector), with every kernel the product can pick.
    const std::vector<float> x = testsignals::whiteNoise(3000, 0.5f, 13);
    for (int count = 1; count <= BiquadCascade::kMaxSections; ++count) {
        std::vector<CleanerTestAccess::Section> sections;
        std::vector<literal::Section> same;
        for (int k = 0; k < count; ++k) {
            // Stable (poles inside the unit circle), all coefficients different from section to
            // section so that a lane mix-up shows; b2 = b0 as in every designed section.
            const double d = 0.01 * k;
            sections.push_back({0.3 + d, -0.2 + d, 0.3 + d, -0.5 + d, 0.2 - d});
            same.push_back({0.3 + d, -0.2 + d, 0.3 + d, -0.5 + d, 0.2 - d});
        }
        const auto want = bits(literal::filter(x, same));
        for (Kernel kernel : {Kernel::baseline, Kernel::avx2}) {
            for (std::int64_t block : {1, 100, 3000}) {
                ASSERT_EQ(bits(CleanerTestAccess::cascade(sections, kernel, x, block)), want)
                    << count << " sections, kernel " << int(kernel) << ", block " << block;
            }
        }
    }
}

TEST(Prefilter, PullingPastTheEndFiltersZeros) {
    // The streaming clean never reads past the channel, but a cascade asked for more than its
    // input continues as if the input went on with zeros (the filter's ringing).
    const std::vector<float> x = testsignals::whiteNoise(1000, 0.5f, 8);
    std::vector<float> padded = x;
    padded.resize(1500, 0.0f);
    const auto want = bits(literal::prefilter(padded, 44100.0, 0.7f));
    for (Kernel kernel : {Kernel::baseline, Kernel::avx2}) {
        for (std::int64_t block : {1, 333, 1500}) {
            const auto got =
                CleanerTestAccess::prefilterWith(kernel, x, 44100.0, 0.7f, block, 1500);
            ASSERT_EQ(bits(got), want) << "kernel " << int(kernel) << " block " << block;
        }
    }
}

TEST(Prefilter, StretchesTileTheChannelEachAWarmUpEarly) {
    constexpr std::int64_t w = 1000;
    // Below three warm-ups one stream; from there on four stretches. Huge channels too.
    for (const std::int64_t n : {0LL, 1LL, 2999LL, 3000LL, 3001LL, 10007LL, 3'000'000'000LL}) {
        const auto plan = BiquadCascade::stretches(n, w, 2);
        ASSERT_EQ(plan.count, n >= 3000 ? BiquadCascade::kStretches : 1) << n;
        EXPECT_EQ(plan.bounds[0], 0);
        EXPECT_EQ(plan.bounds[plan.count], n);
        for (int k = 0; k < plan.count; ++k) {
            const auto b = plan.bounds[k];
            const auto start = plan.starts[k];
            EXPECT_LE(b, plan.bounds[k + 1]) << n;
            // Stretch 0 from the channel's start; every other one at least a warm-up early, and
            // every lane's run of `steps` inside the channel, reaching its stretch's end.
            EXPECT_TRUE(k == 0 ? start == 0 : start >= 0 && b - start >= w) << n << " " << k;
            if (plan.count > 1) {
                EXPECT_LE(2 * plan.steps, n + 1) << n; // at least halved, to the rounding
                EXPECT_LE(start + plan.steps, n) << n << " " << k;
                EXPECT_GE(start + plan.steps, plan.bounds[k + 1]) << n << " " << k;
            }
        }
    }
    // No warm-up, no section, or more sections than the lane kernels take: one stream.
    EXPECT_EQ(BiquadCascade::stretches(1'000'000, 0, 2).count, 1);
    EXPECT_EQ(BiquadCascade::stretches(1'000'000, w, 0).count, 1);
    EXPECT_EQ(BiquadCascade::stretches(1'000'000, w, BiquadCascade::kMaxLaneSections).count,
              BiquadCascade::kStretches);
    EXPECT_EQ(BiquadCascade::stretches(1'000'000, w, BiquadCascade::kMaxLaneSections + 1).count, 1);
}

TEST(Prefilter, EachStretchIsBitForBitAWholePassFromItsStart) {
    // 25 s at 8 kHz (a 65,024-sample warm-up): a strong 50 Hz hum with harmonics over faint noise,
    // where the notches' settling is nearly all the output holds. Damaged samples and negative
    // zeros fall in several stretches and their warm-ups, and on and off the four-step groups.
    constexpr double sr = 8000.0;
    constexpr std::int64_t n = 200000;
    std::vector<float> x = testsignals::hum(n, 50.0, 0.2, true, sr);
    const std::vector<float> noise = testsignals::whiteNoise(n, 0.002f, 21);
    for (std::int64_t i = 0; i < n; ++i) {
        x[i] += noise[i];
    }
    std::vector<float> clean = x;
    for (const std::int64_t at : {3, 70001, 90002, 150003, 199999}) {
        x[at] = at % 2 == 0 ? std::numeric_limits<float>::quiet_NaN()
                            : -std::numeric_limits<float>::infinity();
        clean[at] = 0.0f;
    }
    std::fill(x.begin() + 120000, x.begin() + 120011, -0.0f);
    std::fill(clean.begin() + 120000, clean.begin() + 120011, -0.0f);
    struct Case {
        float s;
        Cleaner::HumMask hum;
        int stretches;
    };
    // The high-pass alone, five sections, the most the lanes take (six), and all eighteen (one
    // stream).
    for (const Case c :
         {Case{0.6f, Cleaner::kNoHum, BiquadCascade::kStretches},
          Case{0.6f, 0x1121, BiquadCascade::kStretches},
          Case{1.0f, 0x000F, BiquadCascade::kStretches}, Case{1.0f, Cleaner::kAllHum, 1}}) {
        const auto sections = literal::sections(sr, c.s, c.hum);
        const auto plan = BiquadCascade::stretches(n, CleaningPieces::warmUp(sr),
                                                   static_cast<int>(sections.size()));
        ASSERT_EQ(plan.count, c.stretches) << sections.size() << " sections";
        const std::vector<float> whole = literal::filter(clean, sections);
        std::vector<std::vector<std::uint32_t>> want;
        for (int k = 0; k < plan.count; ++k) {
            const auto run = literal::filter(
                std::span(clean).subspan(plan.starts[k], plan.bounds[k + 1] - plan.starts[k]),
                sections);
            want.push_back(bits({run.begin() + (plan.bounds[k] - plan.starts[k]), run.end()}));
        }
        for (Kernel kernel : {Kernel::baseline, Kernel::avx2}) {
            for (const bool store : {true, false}) {
                for (const std::int64_t block : {std::int64_t{1}, std::int64_t{4096}, n}) {
                    const auto got = CleanerTestAccess::prefilterStretched(kernel, x, sr, c.s,
                                                                           c.hum, block, store);
                    for (int k = 0; k < plan.count; ++k) {
                        const std::vector<float> stretch(got.begin() + plan.bounds[k],
                                                         got.begin() + plan.bounds[k + 1]);
                        ASSERT_EQ(bits(stretch), want[k])
                            << "stretch " << k << " kernel " << int(kernel) << " store " << store
                            << " block " << block << " hum " << c.hum;
                        // The warm-up leaves the whole pass's value to within rounding.
                        EXPECT_LT(relativeRms(stretch, std::span(whole).subspan(plan.bounds[k],
                                                                                stretch.size())),
                                  1e-7)
                            << "stretch " << k << " hum " << c.hum;
                    }
                }
            }
        }
    }
}

} // namespace
} // namespace taln
