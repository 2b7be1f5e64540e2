// The export flow: the suggested name, when the panel opens, and how failures are reported.
#include "model/export_task.h"
#include "tests/model/model_harness.h"

#include "audio/audio_decoder.h"
#include "audio/loudness.h"
#include "audio/video_exporter.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace taln {
namespace {

using test::Harness;
using test::waitFor;
using Kind = AudioExporter::Kind;

TEST(ExportName, DropsTheLastExtensionOnly) {
    EXPECT_EQ(ExportTask::suggestedName("memo.m4a", Kind::wav), QStringLiteral("memo (Taln).wav"));
    EXPECT_EQ(ExportTask::suggestedName("memo.m4a", Kind::m4a), QStringLiteral("memo (Taln).m4a"));
    EXPECT_EQ(ExportTask::suggestedName("take.2.wav", Kind::wav),
              QStringLiteral("take.2 (Taln).wav"));
    EXPECT_EQ(ExportTask::suggestedName("notes", Kind::m4a), QStringLiteral("notes (Taln).m4a"));
    EXPECT_EQ(ExportTask::suggestedName(".hidden", Kind::wav),
              QStringLiteral(".hidden (Taln).wav"));
    EXPECT_EQ(ExportTask::suggestedName(QString(), Kind::wav), QStringLiteral("Audio (Taln).wav"));
}

TEST(Export, NeedsALoadedFileAndNoPendingCleaning) {
    Harness h;
    h.model->exportAudio(Kind::wav);
    EXPECT_TRUE(h.panels->exportCalls.empty());

    h.loadAndSettle(h.writeTone("memo.wav", 0.5, 1));
    h.model->setStrength(30.0);
    ASSERT_TRUE(h.model->isProcessing());
    h.model->exportAudio(Kind::wav);
    EXPECT_TRUE(h.panels->exportCalls.empty());

    ASSERT_TRUE(waitFor([&] { return !h.model->isProcessing(); }));
    h.model->exportAudio(Kind::m4a); // the panel is cancelled: nothing is written
    ASSERT_EQ(h.panels->exportCalls.size(), 1u);
    EXPECT_EQ(h.panels->exportCalls[0].first, Kind::m4a);
    EXPECT_EQ(h.panels->exportCalls[0].second, QStringLiteral("memo (Taln).m4a"));
    test::drainWorkers();
    EXPECT_EQ(QDir(h.dir.path()).entryList(QDir::Files).size(), 1); // memo.wav alone
}

TEST(Export, WritesTheCleanedAudioAndAFailureIsReported) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("take.2.wav", 0.5, 2));

    h.panels->exportAnswer = h.dir.filePath("no such folder/out.wav");
    m.exportAudio(Kind::wav);
    ASSERT_TRUE(waitFor([&] { return !m.errorMessage().isNull(); }));
    const QString failure = m.errorMessage();
    EXPECT_TRUE(failure.startsWith(QStringLiteral("Export failed: "))) << failure.toStdString();
    EXPECT_GT(failure.size(), QStringLiteral("Export failed: ").size());

    // A good export leaves the earlier message alone.
    QSignalSpy errors(&m, &TalnModel::errorMessageChanged);
    const QString out = h.dir.filePath("take.2 (Taln).wav");
    h.panels->exportAnswer = out;
    m.exportAudio(Kind::wav);
    EXPECT_EQ(h.panels->exportCalls.back().second, QStringLiteral("take.2 (Taln).wav"));
    test::drainWorkers();
    EXPECT_EQ(errors.count(), 0);
    EXPECT_EQ(m.errorMessage(), failure);

    // 44,100 Hz, the file's channel count, the cleaned samples to 16-bit precision.
    const Channels written = AudioDecoder::decode(QFile::encodeName(out).toStdString());
    ASSERT_EQ(written.size(), 2u);
    const Channels cleaned = test::copyOf(m.cleanedAudio());
    for (std::size_t c = 0; c < 2; ++c) {
        const Channel& expected = *cleaned[c];
        ASSERT_EQ(written[c]->size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_NEAR((*written[c])[i], std::clamp(expected[i], -1.0f, 1.0f), 1.0f / 32767.0f)
                << c << ":" << i;
        }
    }
}

TEST(Export, WritesTheSnapshotTakenWhenThePanelClosed) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("snap.wav", 2.0, 1));
    const Channels atExport = test::copyOf(m.cleanedAudio());
    const QString out = h.dir.filePath("snap (Taln).wav");
    h.panels->exportAnswer = out;
    m.exportAudio(Kind::wav);
    m.setStrength(0.0); // while the file is being written
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    test::drainWorkers();
    ASSERT_FALSE(test::sameAudio(test::copyOf(m.cleanedAudio()), atExport));

    const Channels written = AudioDecoder::decode(QFile::encodeName(out).toStdString());
    ASSERT_EQ(written.size(), 1u);
    ASSERT_EQ(written[0]->size(), atExport[0]->size());
    for (std::size_t i = 0; i < written[0]->size(); ++i) {
        ASSERT_NEAR((*written[0])[i], (*atExport[0])[i], 1.0f / 32767.0f) << i;
    }
}

// A modal panel runs the event loop: another file may be installed while it is open.
TEST(Export, WritesWhatThePanelWasOpenedForEvenIfAnotherFileArrives) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("first.wav", 1.0, 1));
    const Channels atOpen = test::copyOf(m.cleanedAudio());
    const QString second = h.writeTone("second.wav", 0.5, 2);
    h.panels->whileExportPanelOpen = [&] {
        m.load(second);
        ASSERT_TRUE(waitFor([&] { return !m.isLoading() && !m.isProcessing(); }));
        ASSERT_EQ(m.fileName(), QStringLiteral("second.wav"));
    };
    const QString out = h.dir.filePath("first (Taln).wav");
    h.panels->exportAnswer = out;
    m.exportAudio(Kind::wav);
    EXPECT_EQ(h.panels->exportCalls.back().second, QStringLiteral("first (Taln).wav"));
    test::drainWorkers();

    const Channels written = AudioDecoder::decode(QFile::encodeName(out).toStdString());
    ASSERT_EQ(written.size(), 1u);
    ASSERT_EQ(written[0]->size(), atOpen[0]->size());
    for (std::size_t i = 0; i < written[0]->size(); ++i) {
        ASSERT_NEAR((*written[0])[i], (*atOpen[0])[i], 1.0f / 32767.0f) << i;
    }
}

TEST(Export, ThePanelOpensInTheLastExportFolderElseTheFilesOwn) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("here.wav", 0.3, 1));
    ASSERT_TRUE(QDir(h.dir.path()).mkdir(QStringLiteral("cleaned")));
    h.panels->exportAnswer = h.dir.filePath("cleaned/here (Taln).wav");
    m.exportAudio(Kind::wav);
    h.panels->exportAnswer.reset();
    m.exportAudio(Kind::m4a);
    test::drainWorkers();
    ASSERT_EQ(h.panels->exportFolders.size(), 2u);
    EXPECT_EQ(h.panels->exportFolders[0], QDir(h.dir.path()).absolutePath());
    EXPECT_EQ(h.panels->exportFolders[1], QDir(h.dir.filePath("cleaned")).absolutePath());
}

TEST(Export, SuccessSaysSavedUntilTheNextOperation) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("memo.wav", 0.5, 1));
    const QString out = h.dir.filePath("memo (Taln).wav");
    h.panels->exportAnswer = out;
    m.exportAudio(Kind::wav);
    EXPECT_TRUE(m.isExporting());
    ASSERT_TRUE(waitFor([&] { return !m.isExporting(); }));
    EXPECT_EQ(m.notice(), QStringLiteral("Saved memo (Taln).wav"));
    EXPECT_EQ(m.savedFile(), out);

    m.togglePlay();
    EXPECT_TRUE(m.notice().isNull());
    EXPECT_TRUE(m.savedFile().isNull());
}

// Every kind of export keeps the file's own rate and layout, and stops when cancelled: nothing
// written, the earlier file at the destination as it was, no message. The source is a 48 kHz
// 5.1 screencast, whose AAC sound comes back as 16-bit PCM in a WAV and a FLAC.
TEST(Export, EveryKindKeepsTheFilesFormatAndACancelWritesNothing) {
    Harness h;
    TalnModel& m = *h.model;
    const QString source = h.dir.filePath("talk.mp4");
    const std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=2 -f lavfi -i "
        "\"sine=f=440:d=2:sample_rate=48000,volume=0.1\" -f lavfi -i "
        "\"anoisesrc=a=0.01:d=2:r=48000:seed=3\" -filter_complex "
        "\"[1][2]amix=inputs=2:normalize=0,pan=5.1|FL=c0|FR=c0|FC=c0|LFE=c0|BL=c0|BR=c0[a]\" "
        "-map 0:v -map \"[a]\" -c:v mpeg4 -c:a aac -shortest '" +
        QFile::encodeName(source).toStdString() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    h.loadAndSettle(source);
    ASSERT_EQ(m.sampleRate(), 48000.0);
    ASSERT_EQ(m.orig().size(), 6u);
    struct Row {
        const char* name;
        Kind kind;
        bool video;
        bool normalise;
    };
    const Row rows[] = {{"out.wav", Kind::wav, false, false},
                        {"out.flac", Kind::flac, false, false},
                        {"out.m4a", Kind::m4a, false, false},
                        {"loud.wav", Kind::wav, false, true},
                        {"out.mp4", Kind::m4a, true, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::Gate gate;
        m.setNormaliseLoudness(row.normalise);
        const QString out = h.dir.filePath(row.name);
        const QByteArray earlier(4000, 'e');
        {
            QFile file(out);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(earlier);
        }
        h.panels->exportAnswer = out;
        h.hooks->exportStarting = [&gate] { gate.pass(); };
        row.video ? m.exportVideo() : m.exportAudio(row.kind);
        ASSERT_TRUE(gate.waitArrivals(1));
        m.cancelExport();
        gate.open();
        ASSERT_TRUE(waitFor([&] { return !m.isExporting(); }));
        test::drainWorkers();
        {
            QFile file(out);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_EQ(file.readAll(), earlier);
        }
        EXPECT_FALSE(m.notice().contains(QStringLiteral("Saved")));
        EXPECT_TRUE(m.errorMessage().isNull());

        h.hooks->exportStarting = {};
        row.video ? m.exportVideo() : m.exportAudio(row.kind);
        ASSERT_TRUE(waitFor([&] { return !m.isExporting(); }));
        ASSERT_TRUE(m.errorMessage().isNull()) << m.errorMessage().toStdString();
        const AudioDecoder::Decoded written =
            AudioDecoder::decodeFile(QFile::encodeName(out).toStdString());
        EXPECT_EQ(written.format.sampleRate, 48000);
        EXPECT_EQ(written.format.channelMask, m.format().channelMask);
        EXPECT_EQ(written.format.depth,
                  row.kind == Kind::m4a ? SampleDepth::lossy : SampleDepth::int16);
    }
    EXPECT_EQ(QDir(h.dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1 + 5);
}

// A normalised export plans from the loudness measured once the cleaning completed: its file is
// the one an export measuring for itself writes. A strength change drops that measurement, so
// an export before the new one is ready never plans from the earlier track's loudness.
TEST(Export, ANormalisedExportPlansFromTheCurrentTracksLoudness) {
    Harness h;
    TalnModel& m = *h.model;
    test::Gate first;
    h.hooks->loudnessMeasured = [&first] { first.pass(); };
    h.loadAndSettle(h.writeTone("talk.wav", 3.0, 2));
    m.setNormaliseLoudness(true);
    ASSERT_TRUE(first.waitArrivals(1));
    first.open();
    test::drainWorkers();

    test::Gate second;
    const auto release = qScopeGuard([&second] { second.open(); });
    const auto exportAndCompare = [&](const QString& name) {
        const QString out = h.dir.filePath(name);
        h.panels->exportAnswer = out;
        m.exportAudio(Kind::wav);
        ASSERT_TRUE(waitFor([&] { return !m.isExporting(); }));
        ASSERT_TRUE(m.errorMessage().isNull()) << m.errorMessage().toStdString();
        const std::filesystem::path measuring = h.dir.filePath("measuring.wav").toStdString();
        AudioExporter::write(m.cleanedAudio(), m.format(), Kind::wav, measuring,
                             {false, Loudness::kDefaultTarget});
        QFile written(out);
        QFile expected(QString::fromStdString(measuring.string()));
        ASSERT_TRUE(written.open(QIODevice::ReadOnly) && expected.open(QIODevice::ReadOnly));
        EXPECT_EQ(written.readAll(), expected.readAll());
    };
    exportAndCompare(QStringLiteral("measured before.wav"));

    // The new cleaning's measurement is held back while the export runs.
    h.hooks->loudnessMeasured = [&second] { second.pass(); };
    m.setStrength(85.0);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    exportAndCompare(QStringLiteral("measured while exporting.wav"));
}

TEST(Export, AnExportOutlivesItsModel) {
    QTemporaryDir dir;
    const QString out = dir.filePath("kept (Taln).wav");
    {
        Harness h;
        h.loadAndSettle(h.writeTone("kept.wav", 1.0, 2));
        h.panels->exportAnswer = out;
        h.model->exportAudio(Kind::wav);
    }
    test::drainWorkers();
    EXPECT_EQ(AudioDecoder::decode(QFile::encodeName(out).toStdString()).size(), 2u);
}

// A file with video goes back as a video in its own container, with its sound cleaned and,
// when asked, normalised; an audio file offers no video export.
TEST(Export, AVideoGoesBackAsAVideoWithItsSoundCleaned) {
    Harness h;
    TalnModel& m = *h.model;
    const QString source = h.dir.filePath("talk.mp4");
    const std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=3 -f lavfi -i "
        "\"sine=f=440:d=3,volume=0.05\" -f lavfi -i \"anoisesrc=a=0.01:d=3:seed=3\" "
        "-filter_complex \"[1][2]amix=inputs=2:normalize=0[a]\" -map 0:v -map \"[a]\" "
        "-c:v mpeg4 -c:a aac -shortest '" +
        QFile::encodeName(source).toStdString() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);

    h.loadAndSettle(h.writeTone("memo.wav", 0.5, 1));
    EXPECT_FALSE(m.hasVideo());
    m.exportVideo();
    EXPECT_TRUE(h.panels->exportCalls.empty());

    h.loadAndSettle(source);
    ASSERT_TRUE(m.hasVideo());
    m.setNormaliseLoudness(true);
    const QString out = h.dir.filePath("talk (Taln).mp4");
    h.panels->exportAnswer = out;
    m.exportVideo();
    ASSERT_EQ(h.panels->exportCalls.size(), 1u);
    EXPECT_EQ(h.panels->exportCalls[0].second, QStringLiteral("talk (Taln).mp4"));
    ASSERT_TRUE(waitFor([&] { return !m.isExporting(); }));
    ASSERT_TRUE(m.errorMessage().isNull()) << m.errorMessage().toStdString();

    const std::filesystem::path written = QFile::encodeName(out).toStdString();
    EXPECT_TRUE(VideoExporter::hasVideo(written));
    // -16 LUFS within half a unit, from a recording far quieter.
    const Channels sound = AudioDecoder::decode(written);
    EXPECT_NEAR(Loudness::integrated(sound, m.sampleRate()), Loudness::kDefaultTarget, 0.5);
}

} // namespace
} // namespace taln
