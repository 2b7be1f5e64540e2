// Loudness: normalising to a target under the true-peak ceiling, checked by FFmpeg's own
// ebur128 filter on the written file.

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/loudness.h"
#include "tests/audio/media_probe.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace taln {
namespace {

using test::TestFiles;

// A 170 Hz voice with two harmonics in syllables, as in the command's tests.
const std::string kVoice = "(0.3*sin(2*PI*170*t)+0.15*sin(2*PI*340*t)+0.08*sin(2*PI*510*t))"
                           "*gt(sin(2*PI*3*t)\\,0.2)*gt(sin(2*PI*0.5*t)\\,0)";

struct LoudnessCase {
    const char* name;
    std::string expression; // of t, for aevalsrc
    double clickPeriod;     // seconds between clicks at 0, T, 2T, ...; 0: none
};

class LoudnessNormalise : public testing::TestWithParam<LoudnessCase> {};

// Lands on -16 LUFS within 0.5 LU with no true peak above -1 dBTP, and away from the
// peaks that need limiting the sound is the input times one gain: the limiter lets go.
TEST_P(LoudnessNormalise, LandsOnTheTargetUnderTheCeilingAndLimitsOnlyThePeaks) {
    const LoudnessCase& c = GetParam();
    const auto source = TestFiles::shared().make(
        std::string("loudness_") + c.name + ".wav",
        "-f lavfi -i \"aevalsrc=" + c.expression + ":s=44100:d=6\" -c:a pcm_f32le");
    const Channels original = AudioDecoder::decode(source);
    const auto output = TestFiles::shared().freshFolder(std::string("loudness_") + c.name) /
                        "normalised.wav";

    const Channels normalised = Loudness::normalise(original, kSampleRate, -16.0);
    AudioExporter::write(normalised, kSampleRate, AudioExporter::Kind::wav, output);

    const test::LoudnessReading reading = test::measureLoudness(output);
    EXPECT_NEAR(reading.integrated, -16.0, 0.5);
    EXPECT_LE(reading.truePeak, -1.0);

    const Channel& in = *original.front();
    const Channel& out = *normalised.front();
    double gain = 0.0; // the plain gain: the limiter only ever lowers it
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (std::fabs(in[i]) > 1e-3f) {
            gain = std::max(gain, double(out[i]) / in[i]);
        }
    }
    // From 0.6 s after a click (six release time constants) to 10 ms before the next
    // (twice the look-ahead), within 0.05 dB of the plain gain.
    const double period = c.clickPeriod > 0.0 ? c.clickPeriod : 1e9;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const double sinceClick = std::fmod(double(i) / kSampleRate, period);
        if (std::fabs(in[i]) > 1e-3f && sinceClick > 0.6 && sinceClick < period - 0.01) {
            ASSERT_GE(double(out[i]) / in[i], gain * std::pow(10.0, -0.05 / 20.0))
                << "at " << double(i) / kSampleRate << " s";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LoudnessNormalise,
    testing::Values(
        // About -35 LUFS with clicks at -10 dBFS: +19 dB would put them at +9 dBTP.
        LoudnessCase{"quiet_voice_with_clicks",
                     "0.125*" + kVoice + "+0.25*lt(mod(t\\,1.3)\\,0.00005)", 1.3},
        // About -11 LUFS, a dense chord: brought down 5 dB, no limiting needed.
        LoudnessCase{"loud_chord",
                     "0.252*(sin(2*PI*220*t)+sin(2*PI*330*t)+sin(2*PI*440*t))", 0.0}),
    [](const testing::TestParamInfo<LoudnessCase>& info) { return info.param.name; });

TEST(Loudness, SilenceComesBackUnchanged) {
    const Channels silence{std::make_shared<const Channel>(44100, 0.0f)};
    const Channels result = Loudness::normalise(silence, kSampleRate, -16.0);
    EXPECT_EQ(result.front(), silence.front());
}

} // namespace
} // namespace taln
