// Loudness: normalising to a target under the true-peak ceiling, checked by FFmpeg's own
// ebur128 filter on the written file, and the targets that cannot be reached, reported.

#include "audio/audio_exporter.h"
#include "audio/loudness.h"
#include "audio/loudness_meter.h"
#include "tests/audio/media_probe.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace taln {
namespace {

using AudioExporter::Kind;
using Shortfall = Loudness::Report::Shortfall;
using test::TestFiles;

constexpr AudioFormat kFloat44k{44100, 0, SampleDepth::float32};

// A 170 Hz voice with two harmonics in syllables, as in the command's tests.
const std::string kVoice = "(0.3*sin(2*PI*170*t)+0.15*sin(2*PI*340*t)+0.08*sin(2*PI*510*t))"
                           "*gt(sin(2*PI*3*t)\\,0.2)*gt(sin(2*PI*0.5*t)\\,0)";

// `expression` of t over `seconds`, one channel at `rate`, as ffmpeg's aevalsrc makes it.
Channels evaluated(const std::string& expression, double seconds, int rate = 44100) {
    const std::string bytes =
        test::capture("ffmpeg -nostdin -v error -f lavfi -i \"aevalsrc=" + expression + ":s=" +
                      std::to_string(rate) + ":d=" + std::to_string(seconds) + "\" -f f32le -");
    Channel samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return {std::make_shared<const Channel>(std::move(samples))};
}

Channels decodedFloat(const std::filesystem::path& path) {
    const std::string bytes = test::capture("ffmpeg -nostdin -v error -i " +
                                            test::shellQuote(path.string()) + " -f f32le -");
    Channel samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return {std::make_shared<const Channel>(std::move(samples))};
}

struct LoudnessCase {
    const char* name;
    std::string expression; // of t, for aevalsrc
    double clickPeriod;     // seconds between clicks at 0, T, 2T, ...; 0: none
};

class LoudnessNormalise : public testing::TestWithParam<LoudnessCase> {};

// Lands on -16 LUFS within 0.1 LU with no true peak above -1 dBTP, as the report says, and
// away from the peaks that need limiting the sound is the input times one gain: the limiter
// lets go.
TEST_P(LoudnessNormalise, LandsOnTheTargetUnderTheCeilingAndLimitsOnlyThePeaks) {
    const LoudnessCase& c = GetParam();
    const Channels original = evaluated(c.expression, 6.0);
    const auto output =
        TestFiles::shared().freshFolder(std::string("loudness_") + c.name) / "normalised.wav";

    const AudioExporter::Written written = AudioExporter::write(
        ChunkedAudio::fromChannels(original), kFloat44k, Kind::wav, output, {false, -16.0});

    ASSERT_TRUE(written.loudness.has_value());
    EXPECT_TRUE(written.loudness->reached());
    EXPECT_NEAR(written.loudness->achieved, -16.0, 0.1);
    const test::LoudnessReading reading = test::measureLoudness(output);
    EXPECT_NEAR(reading.integrated, -16.0, 0.1);
    EXPECT_LE(reading.truePeak, -1.0);

    const Channel& in = *original.front();
    const Channels decoded = decodedFloat(output);
    const Channel& out = *decoded.front();
    ASSERT_EQ(out.size(), in.size());
    double gain = 0.0; // the plain gain: the limiter only ever lowers it
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (std::fabs(in[i]) > 1e-3f) {
            gain = std::max(gain, double(out[i]) / in[i]);
        }
    }
    EXPECT_NEAR(20.0 * std::log10(gain), written.loudness->gainDb, 0.01);
    // From 0.6 s after a click (six release time constants) to 10 ms before the next
    // (twice the look-ahead), within 0.05 dB of the plain gain.
    const double period = c.clickPeriod > 0.0 ? c.clickPeriod : 1e9;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const double sinceClick = std::fmod(double(i) / 44100.0, period);
        if (std::fabs(in[i]) > 1e-3f && sinceClick > 0.6 && sinceClick < period - 0.01) {
            ASSERT_GE(double(out[i]) / in[i], gain * std::pow(10.0, -0.05 / 20.0))
                << "at " << double(i) / 44100.0 << " s";
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
        LoudnessCase{"loud_chord", "0.252*(sin(2*PI*220*t)+sin(2*PI*330*t)+sin(2*PI*440*t))", 0.0}),
    [](const testing::TestParamInfo<LoudnessCase>& info) { return info.param.name; });

// The ceiling holds after AAC, which moves peaks when it encodes: the loudest target there
// is, on the voice with clicks, decoded again.
TEST(Loudness, TheCeilingHoldsAfterAac) {
    const Channels voice = evaluated("0.125*" + kVoice + "+0.25*lt(mod(t\\,1.3)\\,0.00005)", 6.0);
    const auto output = TestFiles::shared().freshFolder("loudness_aac") / "loud.m4a";
    AudioExporter::write(ChunkedAudio::fromChannels({voice[0], voice[0]}), kFloat44k, Kind::m4a,
                         output, {false, 0.0});
    EXPECT_LE(test::measureLoudness(output).truePeak, -1.0);
}

struct UnreachableCase {
    const char* name;
    std::string expression;
    double seconds;
    double target;
    Shortfall shortfall;
};

class LoudnessUnreachable : public testing::TestWithParam<UnreachableCase> {};

// A target that cannot be reached is said, with the loudness the export does reach.
TEST_P(LoudnessUnreachable, IsReportedWithWhatIsReached) {
    const UnreachableCase& c = GetParam();
    const Channels audio = evaluated(c.expression, c.seconds);
    const Loudness::Plan plan = Loudness::plan(
        Loudness::measure(ChunkedAudio::fromChannels(audio), kFloat44k, PassProgress({}, 0)),
        c.target, Loudness::Encoding::lossless);
    EXPECT_EQ(plan.report.shortfall, c.shortfall)
        << "measured " << plan.report.measured << " LUFS, " << plan.report.achieved << " reached";
    EXPECT_FALSE(plan.report.reached());
    EXPECT_FALSE(std::fabs(plan.report.achieved - c.target) <= Loudness::kToleranceLu);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, LoudnessUnreachable,
    testing::Values(
        // One click in 5 s of silence: lifting it to -16 LUFS would put it at +30 dBTP.
        UnreachableCase{"click", "0.25*between(t\\,2\\,2.0001)", 5.0, -16.0, Shortfall::limited},
        UnreachableCase{"short", "0.3*sin(2*PI*440*t)", 0.3, -16.0, Shortfall::tooShort},
        UnreachableCase{"silence", "0", 3.0, -16.0, Shortfall::silent},
        // A voice at about -45 LUFS brought down to -70: most of it falls under the gate.
        UnreachableCase{"under_the_gate", "0.01*" + kVoice, 6.0, -70.0, Shortfall::gated}),
    [](const testing::TestParamInfo<UnreachableCase>& info) { return info.param.name; });

// Measured and normalised in stretches of any length (as taln-clean hands them over while it
// cleans), the file is the one written from the whole audio at once. At 8 kHz, where the
// limiter's look-ahead (40 frames) is shorter than the taps of a tile of peaks, and over more
// than the 65,536 frames after which the normaliser moves its input back.
TEST(Loudness, StreamedInStretchesWritesWhatTheWholeWrites) {
    const AudioFormat format{8000, 0, SampleDepth::float32};
    const Channels voice =
        evaluated("0.125*" + kVoice + "+0.25*lt(mod(t\\,1.3)\\,0.0002)", 12.0, format.sampleRate);
    const auto folder = TestFiles::shared().freshFolder("loudness_streamed");
    AudioExporter::write(ChunkedAudio::fromChannels(voice), format, Kind::wav, folder / "whole.wav",
                         {false, -16.0});

    const std::int64_t sizes[] = {1, 220, 4410, 70000, 1023, 300000};
    const auto frames = static_cast<std::int64_t>(voice[0]->size());
    const auto inStretches = [&](const auto& take) {
        for (std::int64_t at = 0, k = 0; at < frames; ++k) {
            const std::int64_t n = std::min(sizes[k % std::size(sizes)], frames - at);
            const float* from[] = {voice[0]->data() + at};
            take(std::span<const float* const>(from), n);
            at += n;
        }
    };
    Loudness::Meter meter(1, format);
    inStretches([&](std::span<const float* const> f, std::int64_t n) { meter.add(f, n); });
    AudioExporter::Stream stream(
        1, format, Kind::wav, folder / "streamed.wav", false,
        Loudness::plan(meter.finish(), -16.0, Loudness::Encoding::lossless));
    inStretches([&](std::span<const float* const> f, std::int64_t n) { stream.append(f, n); });
    stream.finish();
    EXPECT_EQ(test::readBytes(folder / "streamed.wav"), test::readBytes(folder / "whole.wav"));
}

// What the meter cannot measure is refused as such: no channels, more than the eight it weighs,
// and rates its filters are not made for (libebur128 corrupts its memory at 16 Hz).
TEST(LoudnessMeter, RefusesWhatItCannotMeasure) {
    struct Case {
        int channels;
        int rate;
        bool taken;
    };
    for (const Case& c :
         {Case{0, 44100, false}, Case{9, 44100, false}, Case{1, 16, false}, Case{1, 999, false},
          Case{1, 1000, true}, Case{8, 192000, true}, Case{1, 2822401, false}}) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels at " + std::to_string(c.rate));
        const AudioFormat format{c.rate, 0, SampleDepth::float32};
        if (c.taken) {
            EXPECT_NO_THROW(Loudness::Meter(c.channels, format));
        } else {
            EXPECT_THROW(Loudness::Meter(c.channels, format), std::invalid_argument);
        }
    }
}

} // namespace
} // namespace taln
