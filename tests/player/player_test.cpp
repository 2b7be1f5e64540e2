// The mixer and clock of Player, driven frame by frame through ManualOutput.

#include "audio/player.h"
#include "tests/player/test_tracks.h"
#include "tests/support/manual_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace taln {
namespace {

using test::classify;
using test::Heard;
using test::makeVersion;
using test::track;
using Listening = Player::Listening;

constexpr double kRate = 44100.0;
constexpr std::int64_t kLead = 2205; // 0.05 s at 44,100 Hz

class PlayerTest : public ::testing::Test {
protected:
    PlayerTest() {
        auto out = std::make_unique<ManualOutput>();
        output = out.get();
        player = std::make_unique<Player>(std::move(out));
    }

    // Pulls `frames` frames and returns them interleaved.
    std::vector<float> pull(std::int64_t frames) {
        std::vector<float> out(static_cast<std::size_t>(2 * frames), 123.0f);
        output->pull(out.data(), frames);
        return out;
    }

    static Heard at(const std::vector<float>& out, std::int64_t i) {
        return classify(out[static_cast<std::size_t>(2 * i)],
                        out[static_cast<std::size_t>(2 * i + 1)]);
    }

    // Expects output frames [from, to) to be version `kind` frames first, first + 1, ...
    static void expectRun(const std::vector<float>& out, std::int64_t from, std::int64_t to,
                          Heard::Kind kind, std::int64_t first) {
        for (std::int64_t i = from; i < to; ++i) {
            const Heard h = at(out, i);
            ASSERT_EQ(h.kind, kind) << "output frame " << i;
            if (kind != Heard::silence) {
                ASSERT_EQ(h.frame, first + (i - from)) << "output frame " << i;
            }
        }
    }

    ManualOutput* output = nullptr;
    std::unique_ptr<Player> player;
};

TEST_F(PlayerTest, BothTracksBeginTogetherAfterExactlyTheLead) {
    player->load(track(10000, false), track(10000, true), kRate);
    ASSERT_FALSE(player->start(1000));

    const auto out = pull(kLead + 200);
    expectRun(out, 0, kLead, Heard::silence, 0);
    expectRun(out, kLead, kLead + 200, Heard::cleaned, 1000);

    // The original runs on the same output frames: hearing it instead shows frame 1200 next.
    player->setListening(Listening::original);
    const auto next = pull(10);
    expectRun(next, 0, 10, Heard::original, 1200);
}

TEST_F(PlayerTest, SwitchingMidBufferChangesOnlyTheGainsFromThatFrame) {
    player->load(track(10000, false), track(10000, true), kRate);
    ASSERT_FALSE(player->start(0));
    output->advance(kLead + 300);

    const auto before = pull(37);
    const double timeBefore = player->currentTime();
    player->setListening(Listening::original);
    EXPECT_EQ(player->currentTime(), timeBefore);
    const auto after = pull(40);
    player->setListening(Listening::cleaned);
    const auto back = pull(5);

    // No gap, no repeat, no restart: the frame count runs on across both switches.
    expectRun(before, 0, 37, Heard::cleaned, 300);
    expectRun(after, 0, 40, Heard::original, 337);
    expectRun(back, 0, 5, Heard::cleaned, 377);
}

// Removed mixes both tracks (gains 1 and -1) on the clock the other positions run on; a sign
// or clock error shows as a wrong sum or a skipped frame.
TEST_F(PlayerTest, RemovedPlaysTheOriginalMinusTheCleanedWithoutAGap) {
    player->load(track(10000, false), track(10000, true), kRate);
    ASSERT_FALSE(player->start(0));
    output->advance(kLead + 300);

    const auto before = pull(20);
    player->setListening(Player::Listening::removed);
    const auto removed = pull(20);
    player->setListening(Listening::cleaned);
    const auto back = pull(5);

    expectRun(before, 0, 20, Heard::cleaned, 300);
    for (std::int64_t i = 0; i < 20; ++i) {
        const std::int64_t k = 320 + i;
        ASSERT_EQ(removed[static_cast<std::size_t>(2 * i)], test::origLeft(k) - test::cleanLeft(k))
            << i;
        ASSERT_EQ(removed[static_cast<std::size_t>(2 * i + 1)],
                  test::origRight(k) - test::cleanRight(k))
            << i;
    }
    expectRun(back, 0, 5, Heard::cleaned, 340);
}

TEST_F(PlayerTest, HearOriginalSetWhileStoppedAppliesAtTheNextStart) {
    player->load(track(5000, false), track(5000, true), kRate);
    player->setListening(Listening::original);
    ASSERT_FALSE(player->start(0));
    output->advance(kLead);
    expectRun(pull(3), 0, 3, Heard::original, 0);
}

TEST_F(PlayerTest, CurrentTimeFollowsTheStartFrameAndTheFramesPlayed) {
    EXPECT_EQ(player->currentTime(), 0.0); // before any load or start

    const std::int64_t n = 8000;
    player->load(track(n, false), track(n, true), kRate);
    EXPECT_EQ(player->currentTime(), 0.0);

    ASSERT_FALSE(player->start(4410));
    EXPECT_EQ(player->currentTime(), 4410 / kRate); // not yet picked up by the mixer
    output->advance(kLead - 1);
    EXPECT_EQ(player->currentTime(), 4410 / kRate); // during the lead: never below the start
    output->advance(1 + 441);
    EXPECT_EQ(player->currentTime(), (4410 + 441) / kRate);

    // Past the end of the data the clock keeps counting; the model notices the end.
    output->advance(n);
    EXPECT_EQ(player->currentTime(), (4410 + 441 + n) / kRate);
    EXPECT_GT(player->currentTime(), n / kRate);
    expectRun(pull(4), 0, 4, Heard::silence, 0);

    // Stopped: the frame where the last start began, not where playback stopped.
    player->stop();
    EXPECT_EQ(player->currentTime(), 4410 / kRate);
    output->advance(1000);
    EXPECT_EQ(player->currentTime(), 4410 / kRate);
}

TEST_F(PlayerTest, PlaysEachTrackToItsEndThenSilence) {
    player->load(track(3000, false), track(3000, true), kRate);
    ASSERT_FALSE(player->start(2900));
    const auto out = pull(kLead + 150);
    expectRun(out, 0, kLead, Heard::silence, 0);
    expectRun(out, kLead, kLead + 100, Heard::cleaned, 2900);
    expectRun(out, kLead + 100, kLead + 150, Heard::silence, 0);
}

TEST_F(PlayerTest, StartAtOrBeyondTheEndStopsBothTracksAndKeepsTheStartFrame) {
    const std::int64_t n = 6000;
    player->load(track(n, false), track(n, true), kRate);
    ASSERT_FALSE(player->start(100));
    output->advance(kLead + 50);

    for (const std::int64_t frame : {n, n + 1, std::int64_t{1} << 40}) {
        EXPECT_FALSE(player->start(frame)) << frame;
        EXPECT_EQ(player->currentTime(), 100 / kRate) << frame;
        expectRun(pull(kLead + 10), 0, kLead + 10, Heard::silence, 0);
    }
}

TEST_F(PlayerTest, NothingLoadedPlaysNothing) {
    EXPECT_FALSE(player->start(0));
    EXPECT_EQ(player->currentTime(), 0.0);
    expectRun(pull(kLead + 10), 0, kLead + 10, Heard::silence, 0);
}

TEST_F(PlayerTest, NegativeFramePlaysFromTheFirstFrame) {
    player->load(track(4000, false), track(4000, true), kRate);
    ASSERT_FALSE(player->start(-5000));
    EXPECT_EQ(player->currentTime(), 0.0);
    const auto out = pull(kLead + 20);
    expectRun(out, 0, kLead, Heard::silence, 0);
    expectRun(out, kLead, kLead + 20, Heard::cleaned, 0);
    EXPECT_EQ(player->currentTime(), 20 / kRate);
}

TEST_F(PlayerTest, WithoutACleanedVersionBothTracksPlayTheOriginal) {
    player->load(track(4000, false), {}, kRate);
    ASSERT_FALSE(player->start(10));
    output->advance(kLead);
    expectRun(pull(5), 0, 5, Heard::original, 10);
    player->setListening(Listening::original);
    expectRun(pull(5), 0, 5, Heard::original, 15);
}

TEST_F(PlayerTest, MonoPlaysOnBothSides) {
    player->load(track(3000, false, 1), track(3000, true, 1), kRate);
    ASSERT_FALSE(player->start(7));
    output->advance(kLead);
    const auto out = pull(3);
    for (std::int64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out[static_cast<std::size_t>(2 * i)], test::cleanLeft(7 + i));
        EXPECT_EQ(out[static_cast<std::size_t>(2 * i + 1)], test::cleanLeft(7 + i));
    }
}

// A 5.1 recording at 48 kHz: the output runs at the recording's rate, the lead is 0.05 s of
// it, and what is heard is the usual fold (centre and sides at -3 dB, no LFE), scaled so that
// full-scale channels cannot clip. Channel c holds 2^c, so each channel's share shows.
TEST_F(PlayerTest, FiveOneAtFortyEightKilohertzIsHeardFoldedToStereoAtItsOwnRate) {
    constexpr std::int64_t n = 6000;
    Channels six;
    for (int c = 0; c < 6; ++c) {
        six.push_back(std::make_shared<const Channel>(n, static_cast<float>(1 << c)));
    }
    player->load(ChunkedAudio::fromChannels(six), ChunkedAudio::fromChannels(six), 48000.0, 0);
    player->setListening(Listening::original);
    ASSERT_FALSE(player->start(0));
    EXPECT_EQ(output->sampleRate(), 48000);
    const auto out = pull(2400 + 2);
    EXPECT_EQ(out[2 * 2399], 0.0f) << "the lead is 0.05 s at 48 kHz";
    const float h = std::sqrt(0.5f);
    const float scale = 1.0f + h + h; // FL, FC and SL at full scale reach 1 + 2h
    // Layout FL FR FC LFE SL SR.
    EXPECT_NEAR(out[2 * 2400], (1.0f + h * 4.0f + h * 16.0f) / scale, 1e-5f);
    EXPECT_NEAR(out[2 * 2400 + 1], (2.0f + h * 4.0f + h * 32.0f) / scale, 1e-5f);
}

TEST_F(PlayerTest, RestartReplacesTheScheduleWithANewLead) {
    player->load(track(9000, false), track(9000, true), kRate);
    ASSERT_FALSE(player->start(0));
    output->advance(kLead + 500);
    ASSERT_FALSE(player->start(6000));
    const auto out = pull(kLead + 10);
    expectRun(out, 0, kLead, Heard::silence, 0);
    expectRun(out, kLead, kLead + 10, Heard::cleaned, 6000);
    EXPECT_EQ(player->currentTime(), 6010 / kRate);
}

TEST_F(PlayerTest, LoadWhilePlayingStopsEverythingAndTheNextStartRestartsTheOutput) {
    player->load(track(9000, false), track(9000, true), kRate);
    ASSERT_FALSE(player->start(300));
    output->advance(kLead + 100);
    player->stop();
    ASSERT_TRUE(output->isRunning()); // stop silences the tracks; the output keeps pulling
    ASSERT_FALSE(player->start(300));
    output->advance(kLead + 100);
    const int starts = output->startCount();
    EXPECT_EQ(starts, 1); // a start while the output runs does not restart it

    player->load(track(2000, false), track(2000, true), kRate);
    EXPECT_FALSE(output->isRunning());
    EXPECT_EQ(player->currentTime(), 300 / kRate); // the start frame is left as it was
    std::vector<float> out(8, 1.0f);
    EXPECT_FALSE(output->pull(out.data(), 4));
    EXPECT_EQ(out, std::vector<float>(8, 0.0f));

    ASSERT_FALSE(player->start(0));
    EXPECT_TRUE(output->isRunning());
    EXPECT_EQ(output->startCount(), starts + 1);
    output->advance(kLead);
    expectRun(pull(3), 0, 3, Heard::cleaned, 0);
}

TEST_F(PlayerTest, OutputFailureIsReportedAndNothingIsScheduled) {
    player->load(track(9000, false), track(9000, true), kRate);
    output->setFailure("Audio device is busy");

    const auto reason = player->start(500);
    ASSERT_TRUE(reason);
    EXPECT_EQ(*reason, "Audio device is busy");
    EXPECT_EQ(player->currentTime(), 0.0); // the start frame did not move
    EXPECT_FALSE(output->isRunning());

    output->setFailure(std::nullopt);
    ASSERT_FALSE(player->start(500));
    output->advance(kLead);
    expectRun(pull(2), 0, 2, Heard::cleaned, 500);
}

TEST_F(PlayerTest, OutputFailureWhilePlayingLeavesBothTracksStopped) {
    player->load(track(9000, false), track(9000, true), kRate);
    ASSERT_FALSE(player->start(200));
    output->advance(kLead + 10);
    output->setFailure("device unplugged");
    EXPECT_TRUE(player->start(4000));
    EXPECT_EQ(player->currentTime(), 200 / kRate);
    ASSERT_TRUE(output->isRunning());
    expectRun(pull(kLead + 20), 0, kLead + 20, Heard::silence, 0);
}

TEST_F(PlayerTest, SharesTheChannelsAndReleasesRetiredSchedules) {
    const Channels orig = makeVersion(9000, false);
    const Channels clean = makeVersion(9000, true);
    player->load(ChunkedAudio::fromChannels(orig), ChunkedAudio::fromChannels(clean), kRate);
    EXPECT_EQ(orig[0].use_count(), 2); // the test and the player: a reference, not a copy

    for (int i = 0; i < 200; ++i) {
        ASSERT_FALSE(player->start(i));
        output->advance(64);
        if (i % 3 == 0) {
            player->stop();
        }
    }
    // The player's own copy, the schedule playing and at most a couple the mixer has not yet
    // been seen to leave: retired schedules are freed, not piled up.
    EXPECT_LE(orig[0].use_count(), 5);
    EXPECT_LE(clean[0].use_count(), 5);

    player->load({}, {}, kRate);
    EXPECT_EQ(orig[0].use_count(), 1);
    EXPECT_EQ(clean[0].use_count(), 1);
}

TEST_F(PlayerTest, PlaysOnAcrossAChunkBoundary) {
    const std::int64_t n = kChunkFrames + 500;
    player->load(track(n, false), track(n, true), kRate);
    ASSERT_FALSE(player->start(kChunkFrames - 100));
    const auto out = pull(kLead + 700);
    expectRun(out, kLead, kLead + 600, Heard::cleaned, kChunkFrames - 100);
    expectRun(out, kLead + 600, kLead + 700, Heard::silence, 0);
}

TEST_F(PlayerTest, ReplaceCleanWhilePlayingIsHeardFromTheNextBufferAtThePosition) {
    const std::int64_t f = Player::kCrossfadeFrames;
    player->load(track(9000, false), track(9000, true), kRate);
    ASSERT_FALSE(player->start(500));
    output->advance(kLead + 1000);

    // The new cleaned version carries the original's signal, so each output frame tells
    // which version it came from and which frame of it.
    player->replaceClean(ChunkedAudio::fromChannels(makeVersion(9000, false)));
    EXPECT_EQ(player->currentFrame(), 1500); // the clock runs on: no lead, no jump back
    const auto out = pull(f + 100);

    // The crossfade: output / (k + 1) climbs from the old version's −1 to the new one's +1,
    // on the frames k that follow 1500 without a gap.
    float previous = -1.0f;
    for (std::int64_t i = 0; i < f; ++i) {
        const float ratio = out[static_cast<std::size_t>(2 * i)] / test::origLeft(1500 + i);
        ASSERT_GE(ratio, previous) << i;
        ASSERT_LE(ratio, 1.0f) << i;
        previous = ratio;
    }
    EXPECT_EQ(previous, 1.0f);
    expectRun(out, f, f + 100, Heard::original, 1500 + f);
    EXPECT_EQ(player->currentFrame(), 1600 + f);
}

TEST_F(PlayerTest, ReplaceCleanDuringTheLeadKeepsTheRestOfTheOneLead) {
    player->load(track(9000, false), track(9000, true), kRate);
    ASSERT_FALSE(player->start(700));
    output->advance(1000);
    const Channels flat = {std::make_shared<Channel>(9000, 0.25f),
                           std::make_shared<Channel>(9000, 0.25f)};
    player->replaceClean(ChunkedAudio::fromChannels(flat));
    const auto out = pull(kLead - 1000 + 3);
    expectRun(out, 0, kLead - 1000, Heard::silence, 0);
    EXPECT_EQ(out[static_cast<std::size_t>(2 * (kLead - 1000))], 0.25f);
    EXPECT_EQ(player->currentFrame(), 703);
}

TEST_F(PlayerTest, AReplacedVersionIsFreedOnceTheMixerHasFadedOutOfIt) {
    std::weak_ptr<const Channel> replaced;
    {
        const Channels clean = makeVersion(9000, true);
        replaced = clean[0];
        player->load(track(9000, false), ChunkedAudio::fromChannels(clean), kRate);
    }
    ASSERT_FALSE(player->start(0));
    output->advance(kLead + 10);
    player->replaceClean(ChunkedAudio::fromChannels(makeVersion(9000, true)));

    player->releaseRetired();
    EXPECT_FALSE(replaced.expired()); // the mixer has not taken up the new version yet
    output->advance(Player::kCrossfadeFrames - 1);
    player->releaseRetired();
    EXPECT_FALSE(replaced.expired()); // still fading out of it
    output->advance(1);
    player->releaseRetired();
    EXPECT_TRUE(replaced.expired());
    expectRun(pull(3), 0, 3, Heard::cleaned, 10 + Player::kCrossfadeFrames);
}

} // namespace
} // namespace taln
