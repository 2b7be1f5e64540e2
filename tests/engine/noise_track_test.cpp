#include "engine/adaptive_gain.h"
#include "engine/cleaning_pieces.h"
#include "engine/noise_sample.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace taln {
namespace {

enum class Drift { none, step, ramp };

// Speech with pauses over white noise that stays, steps up 12 dB halfway, or rises 10 dB over the
// recording; `gaps` marks the pauses.
std::vector<float> drifting(std::int64_t n, double rate, Drift drift,
                            std::vector<std::uint8_t>& gaps) {
    std::vector<float> x = testsignals::speech(n, rate, 5, 0.3f, &gaps);
    const std::vector<float> noise =
        testsignals::colouredNoise(n, testsignals::Colour::white, 0.01, 6, rate);
    for (std::int64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(n);
        const double db = drift == Drift::step   ? (t < 0.5 ? 0.0 : 12.0)
                          : drift == Drift::ramp ? 10.0 * t
                                                 : 0.0;
        x[static_cast<std::size_t>(i)] +=
            noise[static_cast<std::size_t>(i)] * static_cast<float>(std::pow(10.0, db / 20.0));
    }
    return x;
}

// Energy out over energy in, in dB, over the pauses from `from` on.
double pauseDb(std::span<const float> in, std::span<const float> out,
               const std::vector<std::uint8_t>& gaps, std::int64_t from) {
    double a = 0.0;
    double b = 0.0;
    for (std::size_t i = static_cast<std::size_t>(from); i < in.size(); ++i) {
        if (gaps[i] != 0) {
            a += double(out[i]) * out[i];
            b += double(in[i]) * in[i];
        }
    }
    return 10.0 * std::log10(a / b);
}

// The loud part's pauses must lose at least 12 dB with the adaptive engine at the default
// strength, at rates from 8 to 96 kHz (times in seconds, frequencies in Hz). Over steady noise the
// track may rise inside runs of words with no pause for 3 s, but the voice keeps within 0.1 dB of
// what the profile alone leaves of it (measured: 0.012 dB), and the pauses lose 20 dB.
TEST(NoiseTrack, FollowsNoiseThatDriftsAtAnyRate) {
    struct Case {
        Drift drift;
        double rate;
    };
    for (const Case c :
         {Case{Drift::none, 44100.0}, Case{Drift::step, 44100.0}, Case{Drift::ramp, 44100.0},
          Case{Drift::step, 8000.0}, Case{Drift::ramp, 96000.0}}) {
        SCOPED_TRACE(testing::Message() << int(c.drift) << " at " << c.rate);
        const auto n = static_cast<std::int64_t>(20.0 * c.rate);
        std::vector<std::uint8_t> gaps;
        const std::vector<float> x = drifting(n, c.rate, c.drift, gaps);
        const NoiseSample noise = NoiseSample::measure(x, c.rate);
        const CancelToken token;
        const auto out = Cleaner::clean(x, noise.profile, 0.6f, c.rate, token, noise.hum,
                                        Cleaner::Engine::adaptive, &noise.track);
        ASSERT_TRUE(out);
        if (c.drift == Drift::none) {
            const auto fixed = Cleaner::clean(x, noise.profile, 0.6f, c.rate, token, noise.hum,
                                              Cleaner::Engine::adaptive);
            std::vector<std::uint8_t> voice(gaps.size());
            for (std::size_t i = 0; i < gaps.size(); ++i) {
                voice[i] = gaps[i] == 0 ? 1 : 0;
            }
            EXPECT_NEAR(pauseDb(x, *out, voice, 0), pauseDb(x, *fixed, voice, 0), 0.1);
            EXPECT_LT(pauseDb(x, *out, gaps, 0), -20.0);
            continue;
        }
        // The loud half of a step; the last quarter of a ramp (7.5 to 10 dB up).
        const std::int64_t loud = c.drift == Drift::step ? n / 2 + n / 20 : 3 * n / 4;
        EXPECT_LT(pauseDb(x, *out, gaps, loud), -12.0);
        // The noise marks show frames of the loud part too: the ones the track followed.
        EXPECT_GT(noise.frameStarts.back(), loud);
        const auto fixed = Cleaner::clean(x, noise.profile, 0.6f, c.rate, token, noise.hum,
                                          Cleaner::Engine::adaptive);
        EXPECT_GT(pauseDb(x, *fixed, gaps, loud), -12.0) << "the case must need the track";
    }
}

// Pieces of a drifting channel cleaned with the track equal the whole run: the track is looked up
// by channel position, and the adaptive gain forgets its start within the warm-up. The reference
// engine ignores a track it is given.
TEST(NoiseTrack, PiecesEqualTheWholeRun) {
    for (const double rate : {44100.0, 16000.0}) {
        const auto n = static_cast<std::int64_t>(24.0 * rate);
        std::vector<std::uint8_t> gaps;
        const std::vector<float> x = drifting(n, rate, Drift::step, gaps);
        const NoiseSample noise = NoiseSample::measure(x, rate);
        ASSERT_GT(noise.track.largestRaise(), 4.0f);
        const CancelToken token;
        for (const auto engine : {Cleaner::Engine::adaptive, Cleaner::Engine::reference}) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, engine " << int(engine));
            const auto whole = Cleaner::clean(x, noise.profile, 0.6f, rate, token, noise.hum,
                                              engine, &noise.track);
            if (engine == Cleaner::Engine::reference) {
                EXPECT_EQ(*whole, *Cleaner::clean(x, noise.profile, 0.6f, rate, token, noise.hum));
                continue;
            }
            // Cuts inside speech and noise, one at the step, none on the hop grid.
            std::vector<float> out(x.size());
            const std::vector<std::int64_t> cuts{0, n / 7 + 3, n / 2 + 101, 2 * n / 3 + 77, n};
            for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
                const CleaningPieces::Range piece{cuts[i], cuts[i + 1]};
                ASSERT_TRUE(CleaningPieces::cleanInChannel(
                    x, piece,
                    std::span<float>(out).subspan(
                        static_cast<std::size_t>(piece.begin),
                        static_cast<std::size_t>(piece.end - piece.begin)),
                    noise.profile, 0.6f, rate, token, noise.hum, engine, &noise.track));
            }
            double error = 0.0;
            double power = 0.0;
            for (std::size_t i = 0; i < x.size(); ++i) {
                error += (double(out[i]) - (*whole)[i]) * (double(out[i]) - (*whole)[i]);
                power += double((*whole)[i]) * (*whole)[i];
            }
            EXPECT_LT(std::sqrt(error / power), 1e-6);
        }
    }
}

// A stretch the user chose holds: no track. Voices as noise (a babble of six talkers) make the
// cleaner shallower; steady noise does not.
TEST(NoiseTrack, ChosenStretchesAndBabble) {
    constexpr double kRate = 44100.0;
    constexpr std::int64_t n = 441000;
    std::vector<std::uint8_t> gaps;
    const std::vector<float> steady = drifting(n, kRate, Drift::none, gaps);
    EXPECT_TRUE(NoiseSample::measure(steady, kRate, 0, n / 2).track.empty());
    EXPECT_EQ(NoiseSample::measure(steady, kRate).track.depth(), 1.0f);

    std::vector<float> babble = testsignals::speech(n, kRate, 40, 0.3f);
    for (std::uint32_t talker = 41; talker < 46; ++talker) {
        const std::vector<float> voice = testsignals::speech(n, kRate, talker, 0.05f);
        for (std::size_t i = 0; i < babble.size(); ++i) {
            babble[i] += voice[i];
        }
    }
    const NoiseTrack track = NoiseSample::measure(babble, kRate).track;
    EXPECT_GT(track.fluctuation(), NoiseTrack::kSteadyFluctuation);
    EXPECT_LT(track.depth(), 1.0f);
}

// Worked frames: noise exactly at its profile goes to the floor (−24 dB at 0.6); a bin 30 dB
// above its noise, held, rises to within 0.1 dB of unity.
TEST(AdaptiveGain, FloorInNoiseAndUnityInSpeech) {
    for (const float snrDb : {0.0f, 30.0f}) {
        SCOPED_TRACE(snrDb);
        AdaptiveGain gain(0.6f, 44100.0);
        const std::vector<float> noise(1025, 1.0f);
        const float amplitude = std::sqrt(std::pow(10.0f, snrDb / 10.0f));
        for (int frame = 0; frame < 40; ++frame) {
            std::vector<float> re(1024, amplitude);
            std::vector<float> im(1024, 0.0f);
            gain.apply(noise, re.data(), im.data());
        }
        const float want = snrDb == 0.0f ? gain.gainFloor() : 1.0f;
        EXPECT_NEAR(gain.gains()[512], want, snrDb == 0.0f ? 1e-3f * want : 0.012f);
    }
    EXPECT_NEAR(AdaptiveGain(0.6f, 44100.0).gainFloor(), std::pow(10.0f, -24.0f / 20.0f), 1e-6f);
}

} // namespace
} // namespace taln
