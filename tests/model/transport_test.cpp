// Play, pause, seek, the end of the audio, the compare switch and a failing sound output.
#include "tests/model/model_harness.h"

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace taln {
namespace {

using test::Harness;
using test::waitFor;

constexpr std::int64_t kLead = 2205; // the player starts both tracks 0.05 s after a start

class Transport : public ::testing::Test {
protected:
    void SetUp() override {
        h.loadAndSettle(h.writeTone("ten.wav", 10.0, 1));
        ASSERT_EQ(m.duration(), 10.0);
    }
    // Pauses and returns the position the model stored from the player.
    double pauseAt() {
        EXPECT_TRUE(m.isPlaying());
        m.togglePlay();
        EXPECT_FALSE(m.isPlaying());
        return m.position();
    }
    static double at(std::int64_t frame) { return static_cast<double>(frame) / kSampleRate; }

    Harness h;
    TalnModel& m = *h.model;
};

TEST(TransportWithoutFile, DoesNothingButTheCompareFlag) {
    Harness h;
    QSignalSpy playing(h.model.get(), &TalnModel::isPlayingChanged);
    QSignalSpy position(h.model.get(), &TalnModel::positionChanged);
    h.model->togglePlay();
    h.model->seek(0.5);
    EXPECT_EQ(playing.count(), 0);
    EXPECT_EQ(position.count(), 0);
    EXPECT_FALSE(h.model->isPlaying());

    QSignalSpy compare(h.model.get(), &TalnModel::hearOriginalChanged);
    h.model->setHearOriginal(true);
    h.model->setHearOriginal(true);
    EXPECT_EQ(compare.count(), 2);
    EXPECT_TRUE(h.model->hearOriginal());
}

TEST_F(Transport, PauseStoresThePlayersTimeAndPlayResumesFromIt) {
    m.togglePlay();
    h.output->advance(kLead + 1000);
    EXPECT_EQ(pauseAt(), at(1000));
    m.togglePlay();
    h.output->advance(kLead + 500);
    EXPECT_EQ(pauseAt(), at(1500));
}

TEST_F(Transport, PlayCloseToTheEndStartsOver) {
    m.seek(0.996); // 9.96 s: within 0.05 s of the end
    m.togglePlay();
    EXPECT_EQ(m.position(), 0.0);
    h.output->advance(kLead + 441);
    EXPECT_EQ(pauseAt(), at(441));

    m.seek(0.994); // 9.94 s: far enough from the end
    m.togglePlay();
    EXPECT_EQ(pauseAt(), at(static_cast<std::int64_t>(9.94 * kSampleRate)));
}

TEST_F(Transport, SeekClampsAndWhilePausedOnlyMoves) {
    m.seek(-0.5);
    EXPECT_EQ(m.position(), 0.0);
    m.seek(2.0);
    EXPECT_EQ(m.position(), 10.0);
    EXPECT_FALSE(m.isPlaying());
    m.togglePlay(); // from the end: starts over
    EXPECT_EQ(m.position(), 0.0);
    h.output->advance(kLead + 10);
    EXPECT_EQ(pauseAt(), at(10));

    QSignalSpy position(&m, &TalnModel::positionChanged);
    m.seek(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(position.count(), 0);
    EXPECT_EQ(m.position(), at(10));
}

TEST_F(Transport, SeekWhilePlayingRestartsBothTracksThere) {
    m.togglePlay();
    h.output->advance(kLead + 100);
    m.seek(0.5);
    EXPECT_EQ(m.position(), 5.0);
    EXPECT_TRUE(m.isPlaying());
    h.output->advance(kLead + 10);
    EXPECT_EQ(pauseAt(), at(5 * 44100 + 10));
}

TEST_F(Transport, ReachingTheEndStopsAndRewinds) {
    m.seek(0.99);
    m.togglePlay();
    h.output->advance(kLead + 44100 / 5);                 // 0.2 s: past the end
    ASSERT_TRUE(waitFor([&] { return !m.isPlaying(); })); // noticed by the position timer
    EXPECT_EQ(m.position(), 0.0);
}

TEST_F(Transport, ThePositionFollowsThePlayer) {
    m.togglePlay();
    h.output->advance(kLead + 22050);
    ASSERT_TRUE(waitFor([&] { return m.position() == 0.5; }));
    EXPECT_TRUE(m.isPlaying());
}

TEST_F(Transport, SeekingToTheVeryEndWhilePlayingEndsPlayback) {
    m.togglePlay();
    h.output->advance(kLead + 100);
    m.seek(1.0);
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.position(), 0.0);
    m.togglePlay();
    EXPECT_TRUE(m.isPlaying());
    h.output->advance(kLead + 7);
    EXPECT_EQ(pauseAt(), at(7));
}

TEST_F(Transport, AnOutputThatCannotStartReportsAndStaysStopped) {
    h.output->setFailure(std::string("Audio device unplugged"));
    m.togglePlay();
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.errorMessage(), QStringLiteral("Playback failed: Audio device unplugged"));

    h.output->setFailure(std::nullopt);
    m.togglePlay();
    EXPECT_TRUE(m.isPlaying());
    EXPECT_TRUE(m.errorMessage().isNull()); // no longer true
}

TEST_F(Transport, PlayPressedWhileTheNextFileIsReadEndsWhenItArrives) {
    const QString next = h.writeTone("next.wav", 2.0, 1);
    test::Gate gate;
    h.hooks->loadFinished = [&gate](const QString&) { gate.pass(); };
    m.load(next);
    ASSERT_TRUE(gate.waitArrivals(1));
    m.togglePlay(); // still the earlier file
    ASSERT_TRUE(m.isPlaying());
    h.output->advance(kLead + 1000);
    gate.open();
    ASSERT_TRUE(waitFor([&] { return m.duration() == 2.0; }));
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.position(), 0.0);
    QTest::qWait(100); // a few position ticks
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.position(), 0.0);

    m.togglePlay();
    h.output->advance(kLead + 10);
    EXPECT_EQ(pauseAt(), at(10));
}

TEST_F(Transport, TheCompareSwitchChangesTheTrackWithoutARestart) {
    m.togglePlay();
    h.output->advance(kLead + 1000);
    const Channels cleanedNow = test::copyOf(m.cleanedAudio());
    const Channel& cleaned = *cleanedNow[0];
    const Channel& orig = *m.orig()[0];
    ASSERT_NE(cleaned, orig);

    auto heard = test::pullLeft(*h.output, 100);
    for (std::size_t k = 0; k < heard.size(); ++k) {
        ASSERT_EQ(heard[k], cleaned[1000 + k]) << k;
    }
    m.setHearOriginal(true);
    heard = test::pullLeft(*h.output, 100);
    for (std::size_t k = 0; k < heard.size(); ++k) {
        ASSERT_EQ(heard[k], orig[1100 + k]) << k;
    }
    EXPECT_EQ(pauseAt(), at(1200));
}

TEST_F(Transport, RemovedIsTheOriginalMinusTheCleanedOnTheSameClock) {
    m.togglePlay();
    h.output->advance(kLead + 1000);
    const Channels cleanedNow = test::copyOf(m.cleanedAudio());
    const Channel& cleaned = *cleanedNow[0];
    const Channel& orig = *m.orig()[0];

    m.setListening(TalnModel::Listening::Removed);
    EXPECT_FALSE(m.hearOriginal());
    auto heard = test::pullLeft(*h.output, 100);
    for (std::size_t k = 0; k < heard.size(); ++k) {
        ASSERT_EQ(heard[k], orig[1000 + k] - cleaned[1000 + k]) << k;
    }
    m.setHearOriginal(false);
    EXPECT_EQ(m.listening(), TalnModel::Listening::Cleaned);
    heard = test::pullLeft(*h.output, 100);
    for (std::size_t k = 0; k < heard.size(); ++k) {
        ASSERT_EQ(heard[k], cleaned[1100 + k]) << k;
    }
}

TEST_F(Transport, TheCompareChoiceCarriesOverToTheNextFile) {
    m.setHearOriginal(true);
    h.loadAndSettle(h.writeTone("next.wav", 1.0, 1));
    m.togglePlay();
    h.output->advance(kLead);
    const auto heard = test::pullLeft(*h.output, 100);
    const Channel& orig = *m.orig()[0];
    ASSERT_NE(*test::copyOf(m.cleanedAudio())[0], orig);
    for (std::size_t k = 0; k < heard.size(); ++k) {
        ASSERT_EQ(heard[k], orig[k]) << k;
    }
}

} // namespace
} // namespace taln
