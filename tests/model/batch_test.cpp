// Several files cleaned in one run: what is written, how a failure or a refusal is named, and
// what a stop leaves behind.
#include "model/batch_run.h"
#include "tests/model/model_harness.h"

#include "audio/audio_decoder.h"
#include "audio/video_exporter.h"

#include <QDir>
#include <QFile>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>

namespace taln {
namespace {

using test::Harness;
using test::waitFor;
using State = BatchRun::State;

// The RMS of `a` - `b` over the RMS of `b`, all channels together.
double relativeError(const Channels& a, const Channels& b) {
    double difference = 0.0;
    double reference = 0.0;
    for (std::size_t c = 0; c < b.size(); ++c) {
        for (std::size_t k = 0; k < b[c]->size(); ++k) {
            const double d = double((*a[c])[k]) - double((*b[c])[k]);
            difference += d * d;
            reference += double((*b[c])[k]) * double((*b[c])[k]);
        }
    }
    return std::sqrt(difference / reference);
}

Channels decode(const QString& path) {
    return AudioDecoder::decode(QFile::encodeName(path).toStdString());
}

bool runToEnd(BatchRun& run, const BatchRun::Settings& settings) {
    run.start(settings);
    return waitFor([&] { return run.isFinished(); });
}

TEST(Batch, CleansEachFileIntoTheFolderAndGoesOnAfterAFailure) {
    struct Case {
        BatchRun::Format format;
        const char* extension;
        bool lossless;
    };
    Harness h;
    const QString first = h.writeTone("first.wav", 0.6, 2);
    const QString notes = h.dir.filePath("notes.txt");
    QFile text(notes);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("Words, not sound.\n");
    text.close();
    const QString last = h.writeTone("last.wav", 0.4, 1);
    // What the window's own cleaning makes of each at the same strength.
    Channels expected[2];
    for (const int i : {0, 1}) {
        h.loadAndSettle(i == 0 ? first : last);
        expected[i] = h.expectedClean(80.0);
    }

    for (const Case c :
         {Case{BatchRun::Format::wav, "wav", true}, Case{BatchRun::Format::flac, "flac", true},
          Case{BatchRun::Format::m4a, "m4a", false}}) {
        SCOPED_TRACE(c.extension);
        const QString folder = h.dir.filePath(QStringLiteral("out-%1").arg(c.extension));
        BatchRun run({first, notes, last});
        ASSERT_TRUE(runToEnd(run, {folder, c.format, 80.0}));
        const auto& items = run.items();
        ASSERT_EQ(items.size(), 3u);
        EXPECT_EQ(items[1].state, State::failed);
        EXPECT_TRUE(items[1].message.startsWith("notes.txt isn't an audio or video file"))
            << items[1].message.toStdString();
        EXPECT_FALSE(QFileInfo::exists(items[1].output));
        for (const std::size_t i : {0u, 2u}) {
            EXPECT_EQ(items[i].state, State::done) << items[i].message.toStdString();
            EXPECT_EQ(items[i].progress, 1.0);
            EXPECT_EQ(QFileInfo(items[i].output).absolutePath(), QDir(folder).absolutePath());
            EXPECT_TRUE(items[i].output.endsWith(QStringLiteral(" (Taln).%1").arg(c.extension)));
            const Channels cleaned = decode(items[i].output);
            const Channels& want = expected[i / 2];
            ASSERT_EQ(cleaned.size(), want.size());
            // M4A's encoder delay is trimmed on decoding, its length kept within a frame.
            ASSERT_NEAR(double(frameCount(cleaned)), double(frameCount(want)), 1024.0);
            // Written at the source's 16 bits: rounding costs about 2e-4 of this signal's RMS.
            if (c.lossless) {
                EXPECT_LT(relativeError(cleaned, want), 1e-3);
            }
        }
    }
}

TEST(Batch, RefusesToWriteOverItsInputsAndWritesVideoOnlyFromVideo) {
    Harness h;
    const QString take = h.writeTone("take.wav", 0.3, 1);
    const QString cleanedBefore = h.writeTone("take (Taln).wav", 0.3, 1);
    QFile before(cleanedBefore);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray kept = before.readAll();
    before.close();

    BatchRun run({take, cleanedBefore, take});
    ASSERT_TRUE(runToEnd(run, {{}, BatchRun::Format::wav, 60.0}));
    ASSERT_EQ(run.items().size(), 2u); // take.wav once
    EXPECT_EQ(run.items()[0].state, State::failed);
    EXPECT_TRUE(run.items()[0].message.contains("one of the files being cleaned"));
    EXPECT_EQ(run.items()[1].state, State::done);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    EXPECT_EQ(before.readAll(), kept);
    EXPECT_TRUE(QFileInfo::exists(h.dir.filePath("take (Taln) (Taln).wav")));

    // A video goes back as a video in its own container; an audio file has none to write.
    const QString talk = h.dir.filePath("talk.mp4");
    const std::string make =
        "ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=10:duration=2 -f lavfi -i "
        "\"anoisesrc=a=0.05:d=2:seed=3\" -c:v mpeg4 -c:a aac -shortest '" +
        QFile::encodeName(talk).toStdString() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const QString folder = h.dir.filePath("videos");
    BatchRun video({take, talk});
    ASSERT_TRUE(runToEnd(video, {folder, BatchRun::Format::video, 60.0}));
    EXPECT_EQ(video.items()[0].state, State::failed);
    EXPECT_EQ(video.items()[0].message, "take.wav has no video; write .m4a or .wav");
    ASSERT_EQ(video.items()[1].state, State::done) << video.items()[1].message.toStdString();
    const std::string written =
        QFile::encodeName(QDir(folder).filePath("talk (Taln).mp4")).toStdString();
    EXPECT_TRUE(VideoExporter::hasVideo(written));
    EXPECT_FALSE(AudioDecoder::decode(written).empty());
}

TEST(Batch, StopLeavesNothingPartialAndEarlierFilesIntact) {
    Harness h;
    const QString long1 = h.writeTone("long.wav", 4.0, 2);
    const QString other = h.writeTone("other.wav", 0.3, 1);
    const QString folder = h.dir.filePath("out");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString earlier = QDir(folder).filePath("long (Taln).wav");
    QFile file(earlier);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("an earlier export");
    file.close();

    test::Gate gate;
    auto hooks = std::make_shared<WorkerHooks>();
    hooks->batchWriting = [&gate](int) { gate.pass(); };
    BatchRun run({long1, other}, nullptr, hooks);
    run.start({folder, BatchRun::Format::wav, 60.0});
    // Stopped while the first stretch of the first file is being written.
    ASSERT_TRUE(gate.waitArrivals(1));
    run.stop();
    gate.open();
    ASSERT_TRUE(waitFor([&] { return run.isFinished(); }));
    EXPECT_EQ(run.items()[0].state, State::stopped);
    EXPECT_EQ(run.items()[1].state, State::stopped);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "an earlier export");
    EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("long (Taln).wav")});
}

} // namespace
} // namespace taln
