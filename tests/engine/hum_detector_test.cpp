#include "engine/cleaner.h"
#include "engine/hum_detector.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

namespace taln {
namespace {

using testsignals::Colour;

constexpr double kRate = 44100.0;
constexpr std::int64_t kSamples = 12 * 44100;

double fromDb(double db) {
    return std::pow(10.0, db / 20.0);
}

void add(std::vector<float>& x, const std::vector<float>& y) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] += y[i];
    }
}

TEST(HumDetector, FindsMainsHumAndNothingElse) {
    // Speech with pauses over stationary noise, plus what each case adds. Levels in dBFS (RMS);
    // bench/engine/hum_levels prints the figures behind the detector's rule for these and more.
    std::vector<std::uint8_t> gaps;
    const std::vector<float> voice = testsignals::speech(kSamples, kRate, 7, 0.5f, &gaps);
    const auto humOf = [](double hz, double db, bool harmonics) {
        return [=](std::vector<float>& x) {
            add(x, testsignals::hum(kSamples, hz, fromDb(db), harmonics));
        };
    };
    const auto heldOn = [&](double hz, double depth, bool isVoice) {
        return [&, hz, depth, isVoice](std::vector<float>& x) {
            add(x, testsignals::heldTone(kSamples, hz, depth, fromDb(-35.0), isVoice, gaps));
        };
    };
    struct Case {
        const char* name;
        Colour colour;
        double noiseDb;
        std::function<void(std::vector<float>&)> extra;
        Cleaner::HumMask want;
    };
    const Case cases[] = {
        {"50 Hz at -70 under white noise at -60", Colour::white, -60.0, humOf(50.0, -70.0, false),
         0x0001},
        {"60 Hz at -50 under pink noise at -45", Colour::pink, -45.0, humOf(60.0, -50.0, false),
         0x0100},
        // Harmonics 2 ... 6 at 0.7 ... 0.18 of the fundamental: 50 ... 300 Hz.
        {"50 Hz and harmonics at -40 under pink noise", Colour::pink, -45.0,
         humOf(50.0, -40.0, true), 0x003F},
        // 60 ... 360 Hz; 300 Hz is notched as the 60 Hz series' (bit 12).
        {"60 Hz and harmonics at -40 under white noise", Colour::white, -60.0,
         humOf(60.0, -40.0, true), 0x3F00},
        {"no hum, white noise", Colour::white, -30.0, [](std::vector<float>&) {}, 0},
        {"no hum, pink noise", Colour::pink, -40.0, [](std::vector<float>&) {}, 0},
        {"no hum, brown noise", Colour::brown, -30.0, [](std::vector<float>&) {}, 0},
        {"fan blade tone at 175 Hz and its harmonics", Colour::pink, -45.0,
         [](std::vector<float>& x) {
             for (std::int64_t i = 0; i < kSamples; ++i) {
                 const double p = 2.0 * std::numbers::pi * 175.0 * i / kRate;
                 x[i] += static_cast<float>(
                     fromDb(-40.0) * (std::sin(p) + 0.5 * std::sin(2 * p) + 0.3 * std::sin(3 * p)));
             }
         },
         0},
        {"voice held on 100 Hz in the pauses", Colour::pink, -50.0, heldOn(100.0, 0.005, true), 0},
        {"voice held on 300 Hz in the pauses", Colour::pink, -50.0, heldOn(300.0, 0.015, true), 0},
        {"steady instrument on 100 Hz in the pauses", Colour::pink, -50.0,
         heldOn(100.0, 0.0, false), 0},
        {"instrument with vibrato on 200 Hz in the pauses", Colour::pink, -50.0,
         heldOn(200.0, 0.005, false), 0},
    };
    for (const Case& c : cases) {
        std::vector<float> x = voice;
        add(x, testsignals::colouredNoise(kSamples, c.colour, fromDb(c.noiseDb), 5));
        c.extra(x);
        const auto frames = Cleaner::estimateNoiseDetailed(x).frames;
        EXPECT_EQ(HumDetector::detect(x, frames, kRate), c.want) << c.name;
    }
}

// The segment keeps its length in seconds: at 192 kHz a fixed 16,384 samples were 11.7 Hz bins,
// and everything above 50 Hz was lost.
TEST(HumDetector, FindsTheSameHumAtEveryRate) {
    for (const double rate : {8000.0, 22050.0, 48000.0, 96000.0, 192000.0}) {
        const auto n = static_cast<std::int64_t>(24 * rate);
        std::vector<float> x = testsignals::speech(n, rate, 7, 0.5f);
        add(x, testsignals::colouredNoise(n, Colour::pink, fromDb(-45.0), 5, rate));
        add(x, testsignals::hum(n, 50.0, fromDb(-40.0), true, rate));
        const auto frames = Cleaner::estimateNoiseDetailed(x).frames;
        EXPECT_EQ(HumDetector::detect(x, frames, rate), 0x003F) << rate << " Hz";
    }
}

TEST(HumDetector, TooLittleToMeasureFindsNothing) {
    const std::vector<float> x = testsignals::hum(HumDetector::kSegment - 1, 50.0, 0.1, true);
    EXPECT_EQ(HumDetector::detect(x, std::vector<std::int64_t>{0, 1, 2}, kRate), Cleaner::kNoHum);
    const std::vector<float> y = testsignals::hum(5 * HumDetector::kSegment, 50.0, 0.1, true);
    EXPECT_EQ(HumDetector::detect(y, {}, kRate), Cleaner::kNoHum);
    // Frames past the end are ignored, not read.
    EXPECT_EQ(HumDetector::detect(y, std::vector<std::int64_t>{1000000}, kRate), Cleaner::kNoHum);
}

TEST(HumDetector, MainsFrequenciesOfAMask) {
    const std::pair<Cleaner::HumMask, std::vector<int>> cases[] = {
        {Cleaner::kNoHum, {}}, {0x0001, {50}},     {0x003F, {50}},  {0x0002, {50}},
        {0x3F00, {60}},        {0x0101, {50, 60}}, {0x1000, {300}},
    };
    for (const auto& [mask, hz] : cases) {
        EXPECT_EQ(HumDetector::mainsHz(mask), hz) << mask;
    }
}

} // namespace
} // namespace taln
