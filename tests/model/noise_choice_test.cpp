// Where the noise sample came from, choosing it from a stretch, and the doubtful-sample notice.
#include "tests/model/model_harness.h"

#include "engine/cleaner.h"
#include "model/noise_choice.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <random>

namespace taln {
namespace {

using test::Harness;
using test::waitFor;
using Stretch = NoiseChoice::Stretch;

TEST(NoiseChoiceRuns, MergeEveryChannelsFramesThatOverlapOrTouch) {
    struct Row {
        const char* name;
        std::vector<std::vector<std::int64_t>> frameStarts; // per channel
        std::vector<Stretch> runs;
    };
    const Row rows[] = {
        {"none", {{}, {}}, {}},
        {"hops of one channel overlap", {{0, 512, 1024}}, {{0, 1024 + 2048}}},
        {"frames that touch merge", {{0, 2048}}, {{0, 4096}}},
        {"a gap of one sample stays", {{0, 2049}}, {{0, 2048}, {2049, 4097}}},
        {"channels interleave", {{10000}, {0, 9000}}, {{0, 2048}, {9000, 12048}}},
    };
    for (const Row& row : rows) {
        std::vector<NoiseSample> noise;
        for (const auto& starts : row.frameStarts) {
            noise.push_back(NoiseSample{});
            noise.back().frameStarts = starts;
        }
        EXPECT_EQ(NoiseChoice::runs(noise), row.runs) << row.name;
    }
}

// [ and ] set the selection's ends at the playhead, keeping the other end while it stays
// on its side.
TEST(NoiseChoiceSelection, StartsAndEndsAtThePlayhead) {
    Harness h;
    h.loadAndSettle(h.writeTone("brackets.wav", 4.0, 1));
    TalnModel& m = *h.model;
    const auto frames = frameCount(m.orig());
    struct Step {
        double at;
        bool start;
        Stretch selection;
    };
    const Step steps[] = {
        {0.5, false, {frames / 2, frames / 2}},         // no selection: empty at the playhead
        {0.25, true, {frames / 4, frames / 2}},         // before the end: the end stays
        {0.75, true, {3 * frames / 4, 3 * frames / 4}}, // past the end: empty again
        {1.0, false, {3 * frames / 4, frames}},
    };
    for (const Step& step : steps) {
        m.seek(step.at);
        step.start ? m.startSelectionAtPlayhead() : m.endSelectionAtPlayhead();
        ASSERT_TRUE(m.hasSelection());
        EXPECT_EQ(m.selection(), step.selection) << step.at;
    }
}

// A chord held under noise with no pause: the quietest frames are as loud as the rest.
std::vector<float> chordUnderNoise(std::int64_t frames) {
    std::mt19937 random(3u);
    std::uniform_real_distribution<float> noise(-0.02f, 0.02f);
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
        double chord = 0.0;
        for (const double hz : {220.0, 277.2, 329.6}) {
            chord += 0.1 * std::sin(2.0 * std::numbers::pi * hz * double(i) / kSampleRate);
        }
        samples[static_cast<std::size_t>(i)] = static_cast<float>(chord) + noise(random);
    }
    return samples;
}

// Every run lies inside one of the noise-only quarter seconds of test::noisyTone.
bool insideNoiseQuarters(const std::vector<Stretch>& runs) {
    constexpr std::int64_t kQuarter = 11025;
    for (const Stretch& run : runs) {
        if ((run.first / kQuarter) % 2 != 0 || (run.last - 1) / kQuarter != run.first / kQuarter) {
            return false;
        }
    }
    return !runs.empty();
}

TEST(NoiseChoiceModel, MarksTheQuietStretchesAndWarnsOnlyWithoutPauses) {
    const auto frames = static_cast<std::int64_t>(3.0 * kSampleRate);
    struct Row {
        const char* name;
        std::vector<float> samples;
        bool doubtful;
    };
    const Row rows[] = {
        {"tone bursts with pauses", test::noisyTone(frames, 9u), false},
        {"a chord with no pause", chordUnderNoise(frames), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        TalnModel& m = *h.model;
        h.loadAndSettle(h.writeWav("take.wav", {row.samples}));
        EXPECT_TRUE(m.noiseAutomatic());
        EXPECT_EQ(m.notice(), row.doubtful ? NoiseChoice::doubtfulNotice() : QString());
        if (!row.doubtful) {
            EXPECT_TRUE(insideNoiseQuarters(m.noiseRuns()));
            continue;
        }
        // A stretch the user chose is taken on their word; Automatic brings the warning back.
        m.selectStretch(0.0, 0.5);
        m.useSelectionAsNoise();
        EXPECT_TRUE(m.notice().isEmpty());
        m.useAutomaticNoise();
        EXPECT_EQ(m.notice(), NoiseChoice::doubtfulNotice());
    }
}

TEST(NoiseChoiceModel, AChosenStretchAloneGivesTheNoiseAndAutomaticGoesBack) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("take.wav", 2.0, 2));
    const std::vector<Stretch> automaticRuns = m.noiseRuns();

    // 0.5 s to 1.0 s of 2 s: a noise-only quarter, then a tone quarter.
    m.selectStretch(0.5, 0.25);
    ASSERT_TRUE(m.hasSelection());
    EXPECT_EQ(m.selection(), (Stretch{22050, 44100}));
    m.useSelectionAsNoise();
    EXPECT_FALSE(m.hasSelection());
    EXPECT_FALSE(m.noiseAutomatic());
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    for (const Stretch& run : m.noiseRuns()) {
        EXPECT_GE(run.first, 22050);
        EXPECT_LE(run.last, 44100);
    }
    Channels expected;
    const CancelToken token;
    for (const ChannelPtr& channel : m.orig()) {
        const NoiseSample noise = NoiseSample::measure(*channel, kSampleRate, 22050, 44100);
        expected.push_back(std::make_shared<const Channel>(
            *Cleaner::clean(*channel, noise.profile, 0.6f, kSampleRate, token, noise.hum,
                            Cleaner::kDefaultEngine, &noise.track)));
    }
    EXPECT_TRUE(test::sameAudio(test::copyOf(m.cleanedAudio()), expected));

    // One sample short of a frame: refused, with the chosen sample kept.
    const Channels kept = test::copyOf(m.cleanedAudio());
    m.selectStretch(0.5, 0.5 + 2047.0 / 88200.0);
    ASSERT_EQ(m.selection().last - m.selection().first, 2047);
    m.useSelectionAsNoise();
    EXPECT_EQ(m.notice(), NoiseChoice::tooShortNotice());
    EXPECT_FALSE(m.isProcessing());
    EXPECT_FALSE(m.noiseAutomatic());
    EXPECT_TRUE(test::sameAudio(test::copyOf(m.cleanedAudio()), kept));
    // The next selection takes the refusal back.
    m.selectStretch(0.0, 0.5);
    EXPECT_TRUE(m.notice().isEmpty());

    m.useAutomaticNoise();
    EXPECT_TRUE(m.noiseAutomatic());
    EXPECT_EQ(m.noiseRuns(), automaticRuns);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    EXPECT_TRUE(test::sameAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(60.0)));
}

} // namespace
} // namespace taln
