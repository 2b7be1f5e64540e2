// The model under a storm of input: a slider dragged for a thousand steps while playing,
// a hundred loads in a row, and a machine without any sound device.
#include "model/waveform_peaks.h"
#include "tests/model/model_harness.h"

#include "audio/audio_decoder.h"
#include "audio/audio_output.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace taln {
namespace {

using test::Harness;
using test::waitFor;

// Lets the event loop run for 0 ... 2 ms, as a user's events arrive.
void restUpTo2ms(std::mt19937& random) {
    const int ms = std::uniform_int_distribution<int>(0, 2)(random);
    if (ms == 0) {
        QCoreApplication::processEvents();
    } else {
        QTest::qWait(ms);
    }
}

TEST(Stress, AThousandStrengthStepsWhilePlayingPublishOnlyTheLast) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("drag.wav", 2.0, 2));
    m.togglePlay();
    ASSERT_TRUE(m.isPlaying());

    // A cleaning that a pause of the machine let start mid-drag is held back until the drag
    // is over, so every one of them is superseded by then and must publish nothing.
    test::Gate gate;
    h.hooks->cleaningFinished = [&gate] { gate.pass(); };

    QSignalSpy published(&m, &TalnModel::cleanPeaksChanged);
    QSignalSpy processing(&m, &TalnModel::isProcessingChanged);
    QSignalSpy errors(&m, &TalnModel::errorMessageChanged);
    std::mt19937 random(2024);
    std::uniform_real_distribution<double> percent(0.0, 100.0);
    std::uniform_int_distribution<std::int64_t> frames(0, 80);
    double last = 0.0;
    for (int i = 0; i < 1000; ++i) {
        last = percent(random);
        m.setStrength(last);
        ASSERT_TRUE(m.isProcessing());
        // The sound card keeps asking for audio meanwhile: 1.8 s in all, within the file.
        h.output->advance(frames(random));
        restUpTo2ms(random);
    }
    EXPECT_EQ(published.count(), 0);
    gate.open();
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    test::drainWorkers();

    EXPECT_EQ(published.count(), 1);
    EXPECT_EQ(processing.count(), 1001); // busy at every step, idle once at the end
    EXPECT_EQ(m.strength(), last);
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(last)));
    EXPECT_EQ(m.cleanPeaks(),
              WaveformPeaks::peaks(test::copyOf(m.cleanedAudio()), WaveformPeaks::kBuckets));
    EXPECT_TRUE(m.isPlaying());
    EXPECT_EQ(errors.count(), 0);

    // Playback went on through it all and follows the published cleaning.
    const double before = m.position();
    h.output->advance(4410 * 3);
    m.togglePlay();
    EXPECT_GT(m.position(), before);
}

TEST(Stress, AHundredLoadsInARowTheLastOneWins) {
    Harness h;
    TalnModel& m = *h.model;
    const QString mono = h.writeTone("mono.wav", 0.3, 1);
    const QString stereo = h.writeTone("stereo.wav", 0.5, 2);
    const QString missing = h.dir.filePath("missing.wav");
    const QString notes = h.dir.filePath("notes.wav");
    {
        QFile text(notes);
        ASSERT_TRUE(text.open(QIODevice::WriteOnly));
        text.write("not a recording\n");
    }
    const QString files[] = {mono, missing, stereo, notes};

    std::mt19937 random(99);
    const auto storm = [&](const QString& lastFile) {
        for (int i = 0; i < 99; ++i) {
            m.load(files[i % 4]);
            // Now and then the user also plays or moves the slider while files come and go.
            if (i % 7 == 3) {
                m.togglePlay();
            }
            if (i % 5 == 1) {
                m.setStrength(std::uniform_real_distribution<double>(0.0, 100.0)(random));
            }
            restUpTo2ms(random);
        }
        m.load(lastFile);
        EXPECT_TRUE(waitFor([&] { return !m.isLoading() && !m.isProcessing(); }));
        test::drainWorkers();
    };

    storm(stereo);
    EXPECT_TRUE(m.errorMessage().isNull()) << m.errorMessage().toStdString();
    EXPECT_EQ(m.fileName(), QStringLiteral("stereo.wav"));
    ASSERT_EQ(m.orig().size(), 2u);
    EXPECT_EQ(frameCount(m.orig()), 22050);
    EXPECT_EQ(m.duration(), 0.5);
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(m.strength())));
    EXPECT_EQ(m.origPeaks(), WaveformPeaks::peaks(m.orig(), WaveformPeaks::kBuckets));
    m.togglePlay();
    EXPECT_TRUE(m.isPlaying());

    // Ending on a failure: its message stands, and the file installed last before it stays
    // whole (name, audio and duration all of one file).
    storm(missing);
    EXPECT_FALSE(m.errorMessage().isEmpty());
    EXPECT_FALSE(m.isPlaying());
    ASSERT_FALSE(m.orig().empty());
    if (m.fileName() == QStringLiteral("mono.wav")) {
        EXPECT_EQ(frameCount(m.orig()), 13230);
        EXPECT_EQ(m.orig().size(), 1u);
    } else {
        EXPECT_EQ(m.fileName(), QStringLiteral("stereo.wav"));
        EXPECT_EQ(frameCount(m.orig()), 22050);
    }
    EXPECT_EQ(m.duration(), static_cast<double>(frameCount(m.orig())) / m.sampleRate());
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), h.expectedClean(m.strength())));
}

TEST(Stress, AudioTheModelLetsGoOfIsGivenBack) {
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("first.wav", 1.0, 2));
    // Every buffer behind the original and the cleaned track, through its chunks.
    std::vector<std::weak_ptr<const void>> dropped;
    const auto remember = [&dropped](const ChunkedAudio& audio) {
        for (int c = 0; c < audio.channelCount(); ++c) {
            for (std::int64_t i = 0; i < audio.chunkCount(); ++i) {
                dropped.push_back(audio.chunk(c, i));
            }
        }
    };
    remember(ChunkedAudio::fromChannels(m.orig()));
    remember(m.cleanedAudio());

    // Results replaced while playing (the player still holds the one it plays) ...
    m.togglePlay();
    for (const double percent : {30.0, 70.0}) {
        m.setStrength(percent);
        ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
        remember(m.cleanedAudio());
        h.output->advance(4410);
    }
    // ... one superseded before it could publish ...
    test::Gate gate;
    h.hooks->cleaningFinished = [&gate] { gate.pass(); };
    m.setStrength(10.0);
    ASSERT_TRUE(gate.waitArrivals(1));
    m.setStrength(20.0);
    gate.open();
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    h.hooks->cleaningFinished = {};
    m.togglePlay();

    // ... and the whole file, replaced by another.
    h.loadAndSettle(h.writeTone("second.wav", 0.5, 1));
    const ChannelPtr current = m.orig()[0];
    EXPECT_TRUE(waitFor([&] {
        return std::all_of(dropped.begin(), dropped.end(),
                           [](const auto& w) { return w.expired(); });
    }));
    EXPECT_EQ(m.orig()[0], current);
    EXPECT_EQ(m.fileName(), QStringLiteral("second.wav"));
}

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(Stress, WithoutASoundDevicePlayingSaysWhyAndTheRestWorks) {
    ScopedEnv driver("SDL_AUDIODRIVER", "taln-no-such-driver");
    QTemporaryDir dir;
    auto panels = std::make_shared<test::FakePanels::State>();
    TalnModel m(std::make_unique<test::FakePanels>(panels), makeSdlOutput());

    // The fixture comes from a harness of its own; only the file is used.
    Harness files;
    const QString path = files.writeTone("quiet room.wav", 1.0, 2);
    m.load(path);
    ASSERT_TRUE(waitFor([&] { return !m.isLoading() && !m.isProcessing(); }));
    ASSERT_FALSE(m.orig().empty()) << m.errorMessage().toStdString();

    const QString prefix = QStringLiteral("Playback failed: ");
    for (int attempt = 0; attempt < 2; ++attempt) {
        m.togglePlay();
        EXPECT_FALSE(m.isPlaying());
        EXPECT_TRUE(m.errorMessage().startsWith(prefix)) << m.errorMessage().toStdString();
        EXPECT_GT(m.errorMessage().size(), prefix.size() + 3) << m.errorMessage().toStdString();
    }
    RecordProperty("message", m.errorMessage().toStdString());

    m.seek(0.5);
    EXPECT_EQ(m.position(), 0.5);
    EXPECT_FALSE(m.isPlaying());

    m.setStrength(20.0);
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
    Channels expected;
    {
        Harness reference;
        reference.loadAndSettle(path);
        expected = reference.expectedClean(20.0);
    }
    EXPECT_TRUE(test::closeAudio(test::copyOf(m.cleanedAudio()), expected));

    const QString out = dir.filePath(QStringLiteral("out.wav"));
    panels->exportAnswer = out;
    m.exportAudio(AudioExporter::Kind::wav);
    test::drainWorkers();
    const Channels written =
        AudioDecoder::decode(std::filesystem::path(QFile::encodeName(out).toStdString()));
    EXPECT_EQ(written.size(), 2u);
    EXPECT_EQ(frameCount(written), 44100);

    m.load(files.writeTone("next.wav", 0.5, 1));
    ASSERT_TRUE(waitFor([&] { return !m.isLoading() && !m.isProcessing(); }));
    EXPECT_EQ(m.fileName(), QStringLiteral("next.wav"));
    EXPECT_TRUE(m.errorMessage().isNull());
    m.togglePlay();
    EXPECT_TRUE(m.errorMessage().startsWith(prefix));
    EXPECT_FALSE(m.isPlaying());
}

// The sound card keeps playing while strength changes replace the cleaned track piece by piece:
// the new cleaning takes over at the position reached, without a gap. SDL's disk driver stands
// in for the card, writing every buffer it pulls to a file, at about 2.3 times real time.
TEST(Stress, StrengthChangesWhilePlayingLeaveNoGapInTheOutput) {
    const auto raw = std::filesystem::path(::testing::TempDir()) /
                     ("taln_model_live_" + std::to_string(::getpid()) + ".raw");
    std::filesystem::remove(raw);
    ScopedEnv driver("SDL_AUDIODRIVER", "disk");
    ScopedEnv file("SDL_DISKAUDIOFILE", raw.c_str());
    ScopedEnv delay("SDL_DISKAUDIODELAY", "10");
    Harness files;
    // 60 s: several pieces per cleaning, and 26 s of playing on the disk driver.
    const QString path = files.writeTone("live.wav", 60.0, 1);
    {
        TalnModel m(std::make_unique<test::FakePanels>(files.panels), makeSdlOutput());
        m.load(path);
        ASSERT_TRUE(waitFor([&] { return !m.isLoading() && !m.isProcessing(); }));
        m.togglePlay();
        ASSERT_TRUE(m.isPlaying()) << m.errorMessage().toStdString();
        ASSERT_TRUE(waitFor([&] { return m.position() > 0.5; }));
        for (const double percent : {30.0, 90.0, 10.0}) {
            m.setStrength(percent);
            ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); }));
            const double at = m.position();
            ASSERT_TRUE(waitFor([&] { return m.position() > at + 0.5; }));
            ASSERT_TRUE(m.isPlaying());
        }
        m.togglePlay();
    } // closing the device flushes the file

    std::vector<float> data;
    {
        std::ifstream in(raw, std::ios::binary);
        float sample = 0.0f;
        while (in.read(reinterpret_cast<char*>(&sample), sizeof sample)) {
            data.push_back(sample);
        }
    }
    std::filesystem::remove(raw);
    const auto frames = static_cast<std::int64_t>(data.size() / 2);
    const auto silent = [&](std::int64_t i) {
        return data[2 * i] == 0.0f && data[2 * i + 1] == 0.0f;
    };
    std::int64_t first = 0;
    while (first < frames && silent(first)) {
        ++first;
    }
    std::int64_t last = frames;
    while (last > first && silent(last - 1)) {
        --last;
    }
    // At least the 1.5 s of playing waited for above (the lead and the stop are outside).
    ASSERT_GT(last - first, 66150);
    std::int64_t longest = 0;
    for (std::int64_t i = first, run = 0; i < last; ++i) {
        run = silent(i) ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    // Noise never gives 64 exact zeros in a row; a restart's lead gives 2,205.
    EXPECT_LE(longest, 64);
}

} // namespace
} // namespace taln
