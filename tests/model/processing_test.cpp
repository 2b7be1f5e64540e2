// The cleaning scheduler: debounce, supersession, and what a published result changes.
#include "tests/model/model_harness.h"

#include "audio/player.h"
#include "model/background_work.h"
#include "model/cleaning_run.h"
#include "model/waveform_peaks.h"

#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <new>
#include <numbers>
#include <optional>

namespace taln {
namespace {

using test::Harness;
using test::waitFor;

TEST(Processing, StrengthWithoutAFileIsOnlyStored) {
    Harness h;
    QSignalSpy strength(h.model.get(), &TalnModel::strengthChanged);
    QSignalSpy processing(h.model.get(), &TalnModel::isProcessingChanged);
    h.model->setStrength(42.0);
    EXPECT_EQ(h.model->strength(), 42.0);
    EXPECT_EQ(strength.count(), 1);
    EXPECT_EQ(processing.count(), 0);
    EXPECT_FALSE(h.model->isProcessing());
}

TEST(Processing, TheSameValueAgainStillCleansAgain) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("same.wav", 0.5, 1));
    QSignalSpy strength(&m, &TalnModel::strengthChanged);
    QSignalSpy published(&m, &TalnModel::cleanPeaksChanged);
    m.setStrength(60.0);
    EXPECT_EQ(strength.count(), 1);
    EXPECT_TRUE(m.isProcessing());
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    EXPECT_EQ(published.count(), 1);
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(60.0)));
}

TEST(Processing, StrengthZeroGivesTheOriginalBack) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("zero.wav", 0.5, 2));
    ASSERT_FALSE(test::sameAudio(test::copyOf(m.cleanedAudio()), m.orig()));
    m.setStrength(0.0);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    EXPECT_TRUE(test::sameAudio(test::copyOf(m.cleanedAudio()), m.orig()));
    EXPECT_EQ(m.cleanPeaks(), m.origPeaks());
}

TEST(Processing, ADragOfTenValuesPublishesOnceTheLast) {
    Harness h;
    TalnModel& m = *h.model;
    // Long enough that a job started by a stray pause in the drag is still cleaning when the
    // next value cancels it.
    h.loadAndSettle(h.writeTone("drag.wav", 5.0, 2));
    const auto origPeaks = m.origPeaks();
    const float scale = m.peakScale();
    QSignalSpy published(&m, &TalnModel::cleanPeaksChanged);
    QSignalSpy processing(&m, &TalnModel::isProcessingChanged);
    for (int i = 0; i < 10; ++i) {
        m.setStrength(10.0 + 7.0 * i);
        QTest::qWait(50);
    }
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    test::drainWorkers();
    EXPECT_EQ(published.count(), 1);
    EXPECT_EQ(processing.count(), 11); // ten times true, once false
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(73.0)));
    EXPECT_EQ(m.cleanPeaks(),
              WaveformPeaks::peaks(test::copyOf(m.cleanedAudio()), WaveformPeaks::kBuckets));
    // The original's waveform and the common scale stay as the load set them.
    EXPECT_EQ(m.origPeaks(), origPeaks);
    EXPECT_EQ(m.peakScale(), scale);
}

TEST(Processing, AJobSupersededAfterItsCleaningFinishedPublishesNothing) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("late.wav", 1.0, 2));

    test::Gate gate;
    std::atomic<int> finished{0};
    h.hooks->cleaningFinished = [&] {
        if (finished.fetch_add(1) == 0) {
            gate.pass(); // the first job has cleaned everything and is about to report
        }
    };
    QSignalSpy published(&m, &TalnModel::cleanPeaksChanged);
    m.setStrength(20.0);
    ASSERT_TRUE(gate.waitArrivals(1));
    m.setStrength(90.0);
    gate.open();
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    test::drainWorkers();

    EXPECT_EQ(finished.load(), 2);
    EXPECT_EQ(published.count(), 1);
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(90.0)));
}

TEST(Processing, AResultDuringPlaybackIsHeardFromTheCurrentPoint) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("live.wav", 1.0, 1));
    m.togglePlay();
    ASSERT_TRUE(m.isPlaying());
    h.output->advance(2205 + 4410); // the 0.05 s lead, then 0.1 s of audio

    m.setStrength(0.0);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    EXPECT_TRUE(m.isPlaying());
    EXPECT_FALSE(m.hearOriginal());

    // Heard from the very next frame, 4410, with no lead: after the crossfade from the earlier
    // cleaning, the new cleaned track (here the original itself) exactly.
    const auto heard = test::pullLeft(*h.output, 2 * Player::kCrossfadeFrames);
    const Channels cleaned = test::copyOf(m.cleanedAudio());
    const Channel& now = *cleaned[0];
    for (std::size_t k = Player::kCrossfadeFrames; k < heard.size(); ++k) {
        ASSERT_EQ(heard[k], now[4410 + k]) << k;
    }
}

TEST(Processing, AResultWhilePausedChangesNothingAudibleUntilPlay) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("paused.wav", 1.0, 1));
    const int starts = h.output->startCount();
    m.setStrength(0.0);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(h.output->startCount(), starts);

    m.togglePlay();
    h.output->advance(2205);
    const auto heard = test::pullLeft(*h.output, 64);
    for (std::size_t k = 0; k < heard.size(); ++k) {
        ASSERT_EQ(heard[k], (*m.orig()[0])[k]) << k;
    }
}

TEST(Processing, RunningOutOfMemoryKeepsTheEarlierResult) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("big.wav", 0.5, 2));
    const ChunkedAudio before = m.cleanedAudio();
    const auto peaksBefore = m.cleanPeaks();
    std::atomic<bool> fail{true};
    h.hooks->cleaningFinished = [&fail] {
        if (fail.load()) {
            throw std::bad_alloc();
        }
    };
    m.setStrength(20.0);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    EXPECT_EQ(m.errorMessage(), QStringLiteral("Cannot allocate memory"));
    EXPECT_TRUE(test::sharesAllChunks(m.cleanedAudio(), before));
    EXPECT_EQ(m.cleanPeaks(), peaksBefore);
    EXPECT_TRUE(m.pendingCleaning().empty()); // the earlier result is whole: nothing to veil

    fail = false; // memory again: the next strength cleans as usual
    m.setStrength(20.0);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(20.0)));
}

// The cleaning and the analysis of a load run one channel per thread: a failure on any
// thread reaches the caller instead of ending the process.
TEST(Processing, AFailureOnAnyChannelsThreadReachesTheCaller) {
    for (const std::int64_t failing : {0, 1, 2}) {
        std::atomic<int> ran{0};
        EXPECT_THROW(BackgroundWork::forEachIndex(3,
                                                  [&](std::int64_t i) {
                                                      ++ran;
                                                      if (i == failing) {
                                                          throw std::bad_alloc();
                                                      }
                                                  }),
                     std::bad_alloc)
            << failing;
        EXPECT_EQ(ran.load(), 3) << failing;
    }
}

// The label follows what the notches remove: the hum found in the file, and nothing where the
// strength leaves the notches off or the file has no hum.
TEST(Processing, TheHumLabelNamesTheHumTheNotchesRemove) {
    struct Row {
        double humAmplitude;
        double strength;
        const char* label;
    };
    for (const Row& row :
         {Row{0.03, 60.0, "Hum 50 Hz removed"}, Row{0.03, 4.0, ""}, Row{0.0, 60.0, ""}}) {
        Harness h;
        TalnModel& m = *h.model;
        const auto frames = static_cast<std::int64_t>(3.0 * kSampleRate);
        std::vector<float> samples = test::noisyTone(frames, 5u);
        for (std::int64_t i = 0; i < frames; ++i) {
            samples[static_cast<std::size_t>(i)] +=
                static_cast<float>(row.humAmplitude * std::sin(2.0 * std::numbers::pi * 50.0 *
                                                               double(i) / kSampleRate));
        }
        m.setStrength(row.strength);
        h.loadAndSettle(h.writeWav("hum.wav", {samples}));
        EXPECT_EQ(m.humLabel().toStdString(), row.label) << row.humAmplitude << " " << row.strength;
        EXPECT_TRUE(
            test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(row.strength)));
    }
}

// A longer file is cleaned in pieces, the one at the playhead first. Each piece fills in its part
// of the cleaned lane; together they are the engine's whole-channel cleaning, boundaries on the
// tone bursts and on the hum included; and export waits for the last piece.
TEST(Processing, PiecesFillInFromThePlayheadAndAssembleTheWholeCleaning) {
    for (const double percent : {5.0, 100.0}) {
        Harness h;
        TalnModel& m = *h.model;
        // 20 s: 7 chunks, cleaned from the middle as [3, 5), [5, 7), [0, 3).
        const auto frames = static_cast<std::int64_t>(20.0 * kSampleRate);
        std::vector<std::vector<float>> channels;
        for (unsigned c = 0; c < 2; ++c) {
            channels.push_back(test::noisyTone(frames, 40u + c));
            for (std::int64_t i = 0; i < frames; ++i) {
                channels[c][static_cast<std::size_t>(i)] += static_cast<float>(
                    0.03 * std::sin(2.0 * std::numbers::pi * 50.0 * double(i) / kSampleRate));
            }
        }
        h.loadAndSettle(h.writeWav("pieces.wav", channels));
        m.seek(0.5); // paused: the playhead is the position, frame 441,000 in chunk 3
        h.panels->exportAnswer = h.dir.filePath("pieces (Taln).wav");

        const std::vector<Peak> before = m.cleanPeaks();
        std::vector<std::vector<Peak>> seen;
        bool busyThroughout = true;
        QObject::connect(&m, &TalnModel::cleanPeaksChanged, [&] {
            seen.push_back(m.cleanPeaks());
            busyThroughout = busyThroughout && m.isProcessing();
            m.exportAudio(AudioExporter::Kind::wav); // a mix of two strengths: refused
        });
        // What is not cleaned yet shrinks by each piece, as the piece's frames are announced.
        using Stretch = NoiseChoice::Stretch;
        std::int64_t pending = frames;
        QObject::connect(&m, &TalnModel::cleanedReplaced, [&](qint64 from, qint64 to) {
            pending -= to - from;
            std::int64_t left = 0;
            for (const Stretch& stretch : m.pendingCleaning()) {
                left += stretch.last - stretch.first;
            }
            EXPECT_EQ(left, pending);
        });
        m.setStrength(percent);
        EXPECT_EQ(m.pendingCleaning(), (std::vector<Stretch>{{0, frames}}));
        ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
        EXPECT_EQ(pending, 0);
        EXPECT_TRUE(m.pendingCleaning().empty());

        ASSERT_EQ(seen.size(), 3u) << percent;
        EXPECT_TRUE(busyThroughout) << percent;
        EXPECT_TRUE(h.panels->exportCalls.empty()) << percent;
        // The pieces are posted playhead first. Several threads clean them at once, so they may
        // be handed over in any order; each changes its own part of the lane, and only that.
        const std::vector<CleaningRun::ChunkSpan> pieces = CleaningRun::plan(7, 3);
        ASSERT_EQ(pieces, (std::vector<CleaningRun::ChunkSpan>{{3, 5}, {5, 7}, {0, 3}}));
        std::vector<bool> handedOver(pieces.size(), false);
        std::vector<Peak> previous = before;
        for (const std::vector<Peak>& lane : seen) {
            std::optional<std::size_t> piece;
            for (std::size_t p = 0; p < pieces.size() && !piece; ++p) {
                const auto span = WaveformPeaks::touching(
                    frames, WaveformPeaks::kBuckets, ChunkedAudio::chunkStart(pieces[p].first),
                    std::min(frames, ChunkedAudio::chunkStart(pieces[p].last)));
                bool changed = false;
                bool inside = true;
                for (std::int64_t b = 0; b < WaveformPeaks::kBuckets; ++b) {
                    if (lane[static_cast<std::size_t>(b)] !=
                        previous[static_cast<std::size_t>(b)]) {
                        changed = true;
                        inside = inside && b >= span.first && b < span.last;
                    }
                }
                if (changed && inside) {
                    piece = p;
                }
            }
            ASSERT_TRUE(piece.has_value()) << percent;
            EXPECT_FALSE(handedOver[*piece]) << percent << " " << *piece;
            handedOver[*piece] = true;
            previous = lane;
        }
        EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(percent)))
            << percent;
        EXPECT_EQ(m.cleanPeaks(),
                  WaveformPeaks::peaks(test::copyOf(m.cleanedAudio()), WaveformPeaks::kBuckets));
    }
}

TEST(Processing, ASupersededCleaningHandsOverNoMorePieces) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("pieces.wav", 20.0, 1)); // 3 pieces from the start

    // Every piece of the first cleaning is held back until a later one has superseded it.
    std::atomic<bool> hold{true};
    test::Gate gate;
    h.hooks->cleaningFinished = [&] {
        if (hold.load()) {
            gate.pass();
        }
    };
    QSignalSpy published(&m, &TalnModel::cleanPeaksChanged);
    m.setStrength(20.0);
    ASSERT_TRUE(gate.waitArrivals(1));
    hold = false;
    m.setStrength(90.0);
    gate.open();
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    test::drainWorkers();

    EXPECT_EQ(published.count(), 3); // the later cleaning's pieces only
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(90.0)));
}

} // namespace
} // namespace taln
