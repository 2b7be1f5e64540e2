// Loading: installation order, failures, overlapping loads, and the open panel.
#include "model/waveform_peaks.h"
#include "tests/model/model_harness.h"

#include <QFile>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>

namespace taln {
namespace {

using test::Harness;
using test::waitFor;

// Records the name of every notify signal in the order the model emits them.
class SignalLog : public QObject {
public:
    explicit SignalLog(TalnModel& model) {
        const auto track = [this, &model](auto signal, const char* name) {
            connect(&model, signal, this,
                    [this, name] { names.append(QString::fromLatin1(name)); });
        };
        track(&TalnModel::fileNameChanged, "fileName");
        track(&TalnModel::isLoadingChanged, "isLoading");
        track(&TalnModel::isProcessingChanged, "isProcessing");
        track(&TalnModel::strengthChanged, "strength");
        track(&TalnModel::hearOriginalChanged, "hearOriginal");
        track(&TalnModel::isPlayingChanged, "isPlaying");
        track(&TalnModel::positionChanged, "position");
        track(&TalnModel::durationChanged, "duration");
        track(&TalnModel::origPeaksChanged, "origPeaks");
        track(&TalnModel::cleanPeaksChanged, "cleanPeaks");
        track(&TalnModel::peakScaleChanged, "peakScale");
        track(&TalnModel::errorMessageChanged, "errorMessage");
    }
    QStringList names;
};

TEST(Loading, InstallsInOrderThenCleansAtOnceWithTheCurrentStrength) {
    Harness h;
    TalnModel& m = *h.model;
    const QString path = h.writeTone("memo.wav", 1.0, 2);

    // With no file the strength is only stored.
    m.setStrength(35.0);
    EXPECT_FALSE(m.isProcessing());

    SignalLog log(m);
    bool origSetBeforeFileName = false;
    bool sharedAtInstall = false;
    QObject::connect(&m, &TalnModel::fileNameChanged,
                     [&] { origSetBeforeFileName = !m.orig().empty(); });
    QObject::connect(&m, &TalnModel::isLoadingChanged, [&] {
        if (!m.isLoading() && !m.orig().empty()) {
            // Until the first result the cleaned track is the original's own buffers.
            sharedAtInstall =
                test::sharesAllChunks(m.cleanedAudio(), ChunkedAudio::fromChannels(m.orig())) &&
                m.cleanPeaks() == m.origPeaks();
        }
    });

    m.load(path);
    EXPECT_TRUE(m.isLoading());
    EXPECT_EQ(log.names, (QStringList{"isPlaying", "isLoading", "errorMessage"}));
    ASSERT_TRUE(waitFor([&] { return !m.isLoading() && !m.isProcessing(); }));

    EXPECT_EQ(log.names,
              (QStringList{"isPlaying", "isLoading", "errorMessage", "duration", "position",
                           "fileName", "origPeaks", "cleanPeaks", "peakScale", "isLoading",
                           "isProcessing", "cleanPeaks", "isProcessing"}));
    EXPECT_TRUE(origSetBeforeFileName);
    EXPECT_TRUE(sharedAtInstall);
    EXPECT_EQ(m.fileName(), QStringLiteral("memo.wav"));
    EXPECT_EQ(m.duration(), 1.0); // 44,100 frames
    EXPECT_EQ(m.position(), 0.0);
    EXPECT_TRUE(m.errorMessage().isNull());
    ASSERT_EQ(m.orig().size(), 2u);

    // The first result is the engine's cleaning at the strength set before the load.
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(35.0)));
    EXPECT_EQ(m.cleanPeaks(),
              WaveformPeaks::peaks(test::copyOf(m.cleanedAudio()), WaveformPeaks::kBuckets));
    EXPECT_EQ(m.origPeaks(), WaveformPeaks::peaks(m.orig(), WaveformPeaks::kBuckets));
    EXPECT_NE(m.cleanPeaks(), m.origPeaks());
}

TEST(Loading, FailureKeepsTheEarlierFileLoadedAndPlayable) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("first.wav", 0.5, 1));
    const Channels before = m.orig();
    const auto peaksBefore = m.origPeaks();

    m.load(h.dir.filePath("missing.wav"));
    ASSERT_TRUE(waitFor([&] { return !m.isLoading(); }));
    // FFmpeg's or the system's own words, not a code.
    EXPECT_FALSE(m.errorMessage().isEmpty());
    EXPECT_FALSE(m.errorMessage().contains(QStringLiteral("-2")));
    EXPECT_EQ(m.fileName(), QStringLiteral("first.wav"));
    EXPECT_EQ(m.orig()[0], before[0]);
    EXPECT_EQ(m.origPeaks(), peaksBefore);
    EXPECT_FALSE(m.isProcessing());

    m.togglePlay();
    EXPECT_TRUE(m.isPlaying());
}

TEST(Loading, FileWithoutAudioSaysSo) {
    Harness h;
    // A subtitle file: FFmpeg opens it, and it carries a stream, but no audio.
    const QString captions = h.dir.filePath(QStringLiteral("captions.srt"));
    QFile file(captions);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("1\n00:00:00,000 --> 00:00:01,000\nHello\n\n2\n00:00:01,500 --> 00:00:02,000\n"
               "Again\n\n");
    file.close();

    h.model->load(captions);
    ASSERT_TRUE(waitFor([&] { return !h.model->isLoading(); }));
    EXPECT_EQ(h.model->errorMessage(), QStringLiteral("That file doesn't contain an audio track."));
    EXPECT_TRUE(h.model->orig().empty());
    EXPECT_TRUE(h.model->fileName().isNull());
}

TEST(Loading, LoadingWhilePlayingStopsAtOnceAndKeepsTheChoices) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("a.wav", 2.0, 1));
    m.setHearOriginal(true);
    m.setStrength(0.0);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    m.seek(0.25);
    m.togglePlay();
    ASSERT_TRUE(m.isPlaying());

    m.load(h.writeTone("b.wav", 1.0, 2));
    EXPECT_FALSE(m.isPlaying());
    EXPECT_EQ(m.position(), 0.5); // kept until the new file is installed
    ASSERT_TRUE(waitFor([&] { return !m.isLoading() && !m.isProcessing(); }));
    EXPECT_EQ(m.position(), 0.0);
    EXPECT_EQ(m.fileName(), QStringLiteral("b.wav"));
    EXPECT_TRUE(m.hearOriginal());
    EXPECT_EQ(m.strength(), 0.0);
    // Strength 0 gives the original back unchanged, and its own buffers are shared.
    EXPECT_TRUE(test::sharesAllChunks(m.cleanedAudio(), ChunkedAudio::fromChannels(m.orig())));
}

TEST(Loading, TheLoadStartedLastWinsWhicheverFinishesLast) {
    Harness h;
    TalnModel& m = *h.model;
    const QString longFile = h.writeTone("long.wav", 3.0, 2);
    const QString shortFile = h.writeTone("short.wav", 0.5, 1);

    test::Gate gate;
    h.hooks->loadFinished = [&gate, longFile](const QString& path) {
        if (path == longFile) {
            gate.pass();
        }
    };
    QSignalSpy names(&m, &TalnModel::fileNameChanged);

    m.load(longFile);
    m.load(shortFile);
    ASSERT_TRUE(waitFor([&] { return !m.isLoading() && !m.isProcessing(); }));
    EXPECT_EQ(m.fileName(), QStringLiteral("short.wav"));

    // The earlier load finishes only now: it must not replace the later one.
    ASSERT_TRUE(gate.waitArrivals(1));
    QSignalSpy loading(&m, &TalnModel::isLoadingChanged);
    QSignalSpy errors(&m, &TalnModel::errorMessageChanged);
    gate.open();
    test::drainWorkers();
    EXPECT_EQ(loading.count(), 0);
    EXPECT_EQ(errors.count(), 0);
    EXPECT_EQ(names.count(), 1);
    EXPECT_EQ(m.fileName(), QStringLiteral("short.wav"));
    EXPECT_EQ(m.orig().size(), 1u);
    EXPECT_FALSE(m.isLoading());
}

TEST(Loading, ReportsProgressAndACancelKeepsTheEarlierFile) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("kept.wav", 1.0, 2));
    const Channels kept = m.orig();
    EXPECT_EQ(m.loadProgress(), -1.0);

    test::Gate gate;
    h.hooks->loadFinished = [&gate](const QString&) { gate.pass(); };
    m.load(h.writeTone("next.wav", 3.0, 2));
    ASSERT_TRUE(gate.waitArrivals(1));
    // Decoded to the end, held back before installation: the timer publishes how far.
    ASSERT_TRUE(waitFor([&] { return m.loadProgress() > 0.99; }));
    EXPECT_LE(m.loadProgress(), 1.0);

    QSignalSpy names(&m, &TalnModel::fileNameChanged);
    m.cancelLoad();
    EXPECT_FALSE(m.isLoading());
    EXPECT_EQ(m.loadProgress(), -1.0);
    gate.open();
    test::drainWorkers();
    EXPECT_EQ(names.count(), 0);
    EXPECT_EQ(m.fileName(), QStringLiteral("kept.wav"));
    EXPECT_TRUE(test::sameAudio(m.orig(), kept));
    EXPECT_TRUE(m.errorMessage().isNull());
}

TEST(Loading, AnEarlierLoadThatFailsLateReportsNothing) {
    Harness h;
    TalnModel& m = *h.model;
    const QString missing = h.dir.filePath("missing.wav");
    test::Gate gate;
    h.hooks->loadFinished = [&gate, missing](const QString& path) {
        if (path == missing) {
            gate.pass();
        }
    };
    m.load(missing);
    ASSERT_TRUE(gate.waitArrivals(1));
    h.loadAndSettle(h.writeTone("good.wav", 0.5, 1));
    QSignalSpy errors(&m, &TalnModel::errorMessageChanged);
    gate.open();
    test::drainWorkers();
    EXPECT_EQ(errors.count(), 0);
    EXPECT_TRUE(m.errorMessage().isNull());
    EXPECT_EQ(m.fileName(), QStringLiteral("good.wav"));
}

TEST(Loading, AFailedLoadThatCancelledACleaningCleansAgain) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("kept.wav", 1.0, 2));

    m.setStrength(80.0); // pending: isProcessing until a job publishes
    ASSERT_TRUE(m.isProcessing());
    m.load(h.dir.filePath("missing.wav"));
    ASSERT_TRUE(waitFor([&] { return !m.isLoading(); }));
    EXPECT_FALSE(m.errorMessage().isEmpty());

    // The cancelled cleaning is scheduled again for the file still loaded.
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    EXPECT_EQ(m.fileName(), QStringLiteral("kept.wav"));
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(80.0)));
    EXPECT_FALSE(m.errorMessage().isEmpty()); // the load's message stays
}

TEST(Loading, OpenPanelLoadsTheChosenFileAndCancelChangesNothing) {
    Harness h;
    TalnModel& m = *h.model;
    SignalLog log(m);
    h.panels->openAnswers.push_back(QString());
    m.openPanel();
    EXPECT_EQ(h.panels->openCalls, 1);
    EXPECT_TRUE(log.names.isEmpty());

    h.panels->openAnswers.push_back(h.writeTone("picked.wav", 0.3, 1));
    m.openPanel();
    EXPECT_TRUE(m.isLoading());
    ASSERT_TRUE(waitFor([&] { return !m.isLoading(); }));
    EXPECT_EQ(m.fileName(), QStringLiteral("picked.wav"));

    // Several chosen: handed on to be cleaned together, none of them loaded.
    const QStringList several = {h.writeTone("one.wav", 0.3, 1), h.writeTone("two.wav", 0.3, 1)};
    h.panels->openManyAnswers.push_back(several);
    QSignalSpy batch(&m, &TalnModel::batchRequested);
    m.openPanel();
    ASSERT_EQ(batch.size(), 1);
    EXPECT_EQ(batch.front().front().toStringList(), several);
    EXPECT_FALSE(m.isLoading());
}

TEST(Loading, AModelDestroyedWithWorkInFlightIsLeftAlone) {
    {
        Harness h;
        h.model->load(h.writeTone("gone.wav", 2.0, 2));
    } // the model goes while its load is running
    {
        Harness h;
        h.loadAndSettle(h.writeTone("busy.wav", 2.0, 2));
        h.model->setStrength(90.0);
        h.model->togglePlay();
        QTest::qWait(200); // lets the cleaning start; no result is expected either way
    }                      // ... and while it cleans
    // Whatever the workers still deliver has no model to reach.
    test::drainWorkers();
    SUCCEED();
}

} // namespace
} // namespace taln
