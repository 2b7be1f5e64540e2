#include "engine/spectral_gain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace taln {
namespace {

// A packed spectrum with the same power p in every bin: re = sqrt(p), im = 0 except im[0],
// which holds the Nyquist bin.
struct FlatSpectrum {
    explicit FlatSpectrum(float power) : re(1024, std::sqrt(power)), im(1024, 0.0f) {
        im[0] = std::sqrt(power);
    }
    std::vector<float> re;
    std::vector<float> im;
};

TEST(SpectralGain, WorkedBinAtHalfStrength) {
    // s = 0.5: β = 2.25, g_min = 0.1, λ = 0.75, q_min = 0.7; noise 1 and power 4 in every bin.
    const std::vector<float> noise(1025, 1.0f);
    SpectralGain gain(noise, 0.5f);
    EXPECT_NEAR(gain.gainFloor(), 0.1f, 1e-7f);
    EXPECT_NEAR(gain.lagFloor(), 0.7f, 1e-7f);

    // Frame 0: subtraction only, sqrt(1 − 2.25/4) = 0.6614; smoothed from 1.0 by 20 %.
    FlatSpectrum first(4.0f);
    gain.apply(0, first.re.data(), first.im.data());
    const double sub = std::sqrt(1.0 - 2.25 / 4.0);
    for (int k : {0, 1, 500, 1024}) {
        EXPECT_NEAR(gain.rawGains()[k], sub, 1e-6) << k;
        EXPECT_NEAR(gain.gains()[k], 1.0 + (sub - 1.0) * 0.2, 1e-6) << k;
    }
    // Applied to every bin, DC and Nyquist (packed in re[0] and im[0]) included.
    EXPECT_NEAR(first.re[0], 2.0 * (1.0 + (sub - 1.0) * 0.2), 1e-6);
    EXPECT_NEAR(first.im[0], 2.0 * (1.0 + (sub - 1.0) * 0.2), 1e-6);
    EXPECT_NEAR(first.re[700], 2.0 * (1.0 + (sub - 1.0) * 0.2), 1e-6);
    EXPECT_EQ(first.im[700], 0.0f);

    // From frame 4 on, with 2 in the ring slot of frame t − 4 and S still 1.0:
    // q = 1 − (0.75 × 0.56)/4 = 0.895, raw gain 0.6614 × sqrt(0.895) = 0.6257, and the new
    // smoothed gain 1.0 + (0.6257 − 1.0) × 0.2 = 0.9251.
    SpectralGain later(noise, 0.5f);
    std::fill(later.lagSlot(0).begin(), later.lagSlot(0).end(), 2.0f);
    FlatSpectrum fifth(4.0f);
    later.apply(4, fifth.re.data(), fifth.im.data());
    const double raw = sub * std::sqrt(0.895);
    EXPECT_NEAR(raw, 0.626, 5e-4);
    for (int k : {0, 1, 500, 1024}) {
        EXPECT_NEAR(later.rawGains()[k], raw, 1e-6) << k;
        EXPECT_NEAR(later.gains()[k], 1.0 + (raw - 1.0) * 0.2, 1e-6) << k;
        // The ring slot of frame 4 receives the cleaned power S²·P.
        const double s = 1.0 + (raw - 1.0) * 0.2;
        EXPECT_NEAR(later.lagSlot(4)[k], s * s * 4.0, 1e-5) << k;
    }
}

TEST(SpectralGain, GainFallsToTheFloorSlowlyAndRisesFast) {
    // Noise equal to the profile at s = 1: the raw gain is the floor 0.01 (−40 dB), and the
    // smoothed gain closes 20 % of the remaining gap per frame.
    const std::vector<float> noise(1025, 1.0f);
    SpectralGain gain(noise, 1.0f);
    double expected = 1.0;
    for (std::int64_t t = 0; t < 4; ++t) {
        FlatSpectrum frame(1.0f);
        gain.apply(t, frame.re.data(), frame.im.data());
        expected += (0.01 - expected) * 0.2;
        ASSERT_NEAR(gain.rawGains()[300], 0.01, 1e-7);
        ASSERT_NEAR(gain.gains()[300], expected, 1e-6) << "frame " << t;
    }
    // A loud onset: the target is about 1 again and the gain closes 80 % of the gap per frame,
    // leaving 4 % of it after two frames. Frames 4 and 5 see the lag factor of frames 0 and 1,
    // negligible against a power 1e6 times the noise.
    const double start = gain.gains()[300];
    for (std::int64_t t = 4; t < 6; ++t) {
        FlatSpectrum frame(1e6f);
        gain.apply(t, frame.re.data(), frame.im.data());
    }
    const double target = gain.rawGains()[300];
    EXPECT_NEAR(gain.gains()[300], target + (start - target) * 0.04, 1e-5);
}

TEST(SpectralGain, LagFactorNeverCutsMoreThanSqrtOfItsFloor) {
    // A steady tone far above a flat 1e-14 profile: subtraction leaves it alone, but from frame 4
    // on the lag factor removes 0.42·s of the power of frame t − 4, here limited by q_min.
    const std::vector<float> noise(1025, 1e-14f);
    SpectralGain gain(noise, 1.0f);
    for (std::int64_t t = 0; t < 4; ++t) {
        FlatSpectrum frame(1.0f);
        gain.apply(t, frame.re.data(), frame.im.data());
        ASSERT_FLOAT_EQ(gain.rawGains()[10], 1.0f) << "frame " << t;
    }
    FlatSpectrum frame(1.0f);
    gain.apply(4, frame.re.data(), frame.im.data());
    // q = 1 − 1.5 × 0.28 × S² where S = 1 so far: 0.58, above q_min = 0.4.
    EXPECT_NEAR(gain.rawGains()[10], std::sqrt(0.58), 1e-6);
    // A ring far above the current power drives q below q_min: the factor stops at sqrt(0.4),
    // and the floor applied before it makes g_min·sqrt(q_min) the lowest possible gain.
    SpectralGain clamped(std::vector<float>(1025, 100.0f), 1.0f);
    std::fill(clamped.lagSlot(0).begin(), clamped.lagSlot(0).end(), 1e9f);
    FlatSpectrum quiet(1.0f);
    clamped.apply(4, quiet.re.data(), quiet.im.data());
    EXPECT_NEAR(clamped.rawGains()[10], 0.01 * std::sqrt(0.4), 1e-8);
    // Every gain stays in (0, 1]: no bin is ever amplified.
    for (float g : clamped.gains()) {
        ASSERT_GT(g, 0.0f);
        ASSERT_LE(g, 1.0f);
    }
}

TEST(SpectralGain, SilentBinsGetTheFloorAndStaySilent) {
    // An all-zero spectrum: 1e-20 keeps the division finite; the gain is the floor.
    const std::vector<float> noise(1025, 1e-14f);
    SpectralGain gain(noise, 0.6f);
    for (std::int64_t t = 0; t < 6; ++t) {
        FlatSpectrum frame(0.0f);
        gain.apply(t, frame.re.data(), frame.im.data());
        for (int k = 0; k < 1024; ++k) {
            ASSERT_EQ(frame.re[k], 0.0f);
            ASSERT_EQ(frame.im[k], 0.0f);
        }
        ASSERT_FLOAT_EQ(gain.rawGains()[5], gain.gainFloor());
    }
}

} // namespace
} // namespace taln
