// Odd and broken files through the model: each ends in a clear message or a correct load,
// never a crash or a hang, and the file loaded before stays loaded, playable and exportable.
#include "tests/model/model_harness.h"

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace taln {
namespace {

using test::Harness;
using test::waitFor;
using Bytes = std::vector<char>;

constexpr std::int64_t kLead = 2205; // the player starts both tracks 0.05 s after a start

std::filesystem::path fsPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

void writeFile(const QString& path, const Bytes& bytes) {
    std::ofstream out(fsPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const QString& path) {
    std::ifstream in(fsPath(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<char>(v & 0xff));
    b.push_back(static_cast<char>((v >> 8) & 0xff));
}

void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

void putTag(Bytes& b, const char* tag) {
    b.insert(b.end(), tag, tag + 4);
}

// A PCM WAV built by hand, so that every header field can lie. `dataBytes` is what the
// header claims; `body` is what actually follows it.
struct WavSpec {
    std::uint32_t formatTag = 1; // 1 integer PCM, 3 float
    std::uint32_t channels = 1;
    std::uint32_t rate = 44100;
    std::uint32_t bits = 16;
    std::uint32_t dataBytes = 0;
    Bytes body;
};

Bytes wavBytes(const WavSpec& s) {
    Bytes b;
    const std::uint32_t blockAlign = s.channels * s.bits / 8;
    putTag(b, "RIFF");
    put32(b, 36 + s.dataBytes);
    putTag(b, "WAVE");
    putTag(b, "fmt ");
    put32(b, 16);
    put16(b, s.formatTag);
    put16(b, s.channels);
    put32(b, s.rate);
    put32(b, s.rate * blockAlign);
    put16(b, blockAlign);
    put16(b, s.bits);
    putTag(b, "data");
    put32(b, s.dataBytes);
    b.insert(b.end(), s.body.begin(), s.body.end());
    return b;
}

// `frames` frames of 16-bit samples: a quiet ramp, different on every channel.
Bytes pcm16(std::int64_t frames, int channels) {
    Bytes b;
    for (std::int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            put16(b, static_cast<std::uint32_t>((i * (c + 3)) % 2000));
        }
    }
    return b;
}

Bytes floats(const std::vector<float>& samples) {
    Bytes b(samples.size() * sizeof(float));
    std::memcpy(b.data(), samples.data(), b.size());
    return b;
}

Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Bytes b(n);
    for (char& c : b) {
        c = static_cast<char>(random() & 0xff);
    }
    return b;
}

// How a row may end.
enum class Outcome {
    fails,     // a message; the earlier file stays
    loads,     // the new file is installed
    eitherWay, // damaged enough that both are sound, as long as the state is consistent
};

struct Row {
    const char* kind;
    Outcome outcome;
    // Makes the file in `h.dir` and returns the path to load; an empty string skips the row.
    std::function<QString(Harness& h)> make;
    // For `loads`: the frames per channel the load must give (-1: any).
    std::int64_t expectedFrames = -1;
    // Runs while the load is in flight (the file that changes while being read).
    std::function<void(const QString& path, std::atomic<bool>& stop)> meanwhile = {};
};

// gtest names the row by its kind instead of dumping its bytes.
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.kind;
}

// A message for a person: not empty, not a bare number, and with words in it.
bool isClearMessage(const QString& message) {
    static const QRegularExpression bareNumber(QStringLiteral("^\\s*-?\\d+\\s*$"));
    static const QRegularExpression word(QStringLiteral("[A-Za-z]{3,}"));
    return !message.trimmed().isEmpty() && !bareNumber.match(message).hasMatch() &&
           word.match(message).hasMatch();
}

// Plays a little of whatever is loaded: the position must move.
void expectPlayable(Harness& h, const char* kind) {
    TalnModel& m = *h.model;
    m.seek(0.0);
    m.togglePlay();
    ASSERT_TRUE(m.isPlaying()) << kind << ": " << m.errorMessage().toStdString();
    h.output->advance(kLead + 2205); // 0.05 s of audio
    m.togglePlay();
    EXPECT_FALSE(m.isPlaying()) << kind;
    EXPECT_GT(m.position(), 0.0) << kind;
}

// Exports whatever is loaded as WAV; the file must decode to the cleaned audio's length.
void expectExportable(Harness& h, const char* kind) {
    TalnModel& m = *h.model;
    ASSERT_TRUE(waitFor([&] { return !m.isProcessing(); })) << kind;
    const QString errorBefore = m.errorMessage();
    const QString out = h.dir.filePath(QStringLiteral("exported.wav"));
    h.panels->exportAnswer = out;
    m.exportAudio(AudioExporter::Kind::wav);
    test::drainWorkers();
    EXPECT_EQ(m.errorMessage(), errorBefore) << kind;
    ASSERT_TRUE(QFileInfo::exists(out)) << kind;
    const Channels written = AudioDecoder::decode(fsPath(out));
    ASSERT_EQ(written.size(), test::copyOf(m.cleanedAudio()).size()) << kind;
    EXPECT_EQ(frameCount(written), frameCount(test::copyOf(m.cleanedAudio()))) << kind;
}

std::vector<Row> table() {
    std::vector<Row> rows;
    const auto named = [](Harness& h, const char* name, const Bytes& bytes) {
        const QString path = h.dir.filePath(QString::fromUtf8(name));
        writeFile(path, bytes);
        return path;
    };

    rows.push_back({"missing path", Outcome::fails,
                    [](Harness& h) { return h.dir.filePath("nowhere/missing.wav"); }});
    rows.push_back({"a directory", Outcome::fails, [](Harness& h) {
                        const QString path = h.dir.filePath("folder.wav");
                        std::filesystem::create_directory(fsPath(path));
                        return path;
                    }});
    rows.push_back({"unreadable file", Outcome::fails, [](Harness& h) {
                        if (geteuid() == 0) {
                            return QString(); // root reads it anyway
                        }
                        const QString path = h.writeTone("locked.wav", 0.5, 1);
                        ::chmod(QFile::encodeName(path).constData(), 0);
                        return path;
                    }});
    rows.push_back(
        {"0-byte .mp3", Outcome::fails, [named](Harness& h) { return named(h, "empty.mp3", {}); }});
    rows.push_back({"text file named .wav", Outcome::fails, [named](Harness& h) {
                        const std::string text = "These are my meeting notes, not a recording.\n";
                        return named(h, "notes.wav", Bytes(text.begin(), text.end()));
                    }});
    rows.push_back({"random bytes .m4a", Outcome::fails,
                    [named](Harness& h) { return named(h, "noise.m4a", randomBytes(4096, 7)); }});
    rows.push_back({"random bytes .wav after a RIFF tag", Outcome::fails, [named](Harness& h) {
                        Bytes b;
                        putTag(b, "RIFF");
                        const Bytes rest = randomBytes(2000, 11);
                        b.insert(b.end(), rest.begin(), rest.end());
                        return named(h, "riff-noise.wav", b);
                    }});
    rows.push_back({"WAV without any frames", Outcome::fails,
                    [named](Harness& h) { return named(h, "no-frames.wav", wavBytes({})); }});
    rows.push_back({"WAV with zero channels", Outcome::fails, [named](Harness& h) {
                        WavSpec s;
                        s.channels = 0;
                        s.body = pcm16(4410, 1);
                        s.dataBytes = static_cast<std::uint32_t>(s.body.size());
                        return named(h, "zero-channels.wav", wavBytes(s));
                    }});
    rows.push_back({"WAV with sample rate 0", Outcome::fails, [named](Harness& h) {
                        WavSpec s;
                        s.rate = 0;
                        s.body = pcm16(4410, 1);
                        s.dataBytes = static_cast<std::uint32_t>(s.body.size());
                        return named(h, "zero-rate.wav", wavBytes(s));
                    }});
    rows.push_back({"video without sound", Outcome::fails, [named](Harness& h) {
                        // Two 16 x 16 frames of raw 4:2:0 video, no audio stream.
                        const std::string header = "YUV4MPEG2 W16 H16 F25:1 Ip A1:1 C420jpeg\n";
                        Bytes b(header.begin(), header.end());
                        for (int f = 0; f < 2; ++f) {
                            const std::string frame = "FRAME\n";
                            b.insert(b.end(), frame.begin(), frame.end());
                            b.insert(b.end(), 16 * 16 * 3 / 2, static_cast<char>(0x80));
                        }
                        return named(h, "clip.y4m", b);
                    }});
    rows.push_back({"ID3 tag and nothing else, .mp3", Outcome::fails, [named](Harness& h) {
                        Bytes b = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
                        return named(h, "tag-only.mp3", b);
                    }});
    rows.push_back({"symlink loop", Outcome::fails, [](Harness& h) {
                        const QString a = h.dir.filePath("loop-a.wav");
                        const QString b = h.dir.filePath("loop-b.wav");
                        std::filesystem::create_symlink(fsPath(b), fsPath(a));
                        std::filesystem::create_symlink(fsPath(a), fsPath(b));
                        return a;
                    }});
    rows.push_back({"named pipe nobody writes to", Outcome::fails, [](Harness& h) {
                        const QString path = h.dir.filePath("pipe.wav");
                        if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0) {
                            return QString();
                        }
                        return path;
                    }});
    rows.push_back({"symlink to an endless device", Outcome::fails, [](Harness& h) {
                        const QString path = h.dir.filePath("zeros.wav");
                        std::filesystem::create_symlink("/dev/zero", fsPath(path));
                        return path;
                    }});
    rows.push_back({"truncated .m4a", Outcome::eitherWay, [](Harness& h) {
                        const QString full = h.dir.filePath("whole.m4a");
                        Channels c{std::make_shared<const Channel>(test::noisyTone(44100, 3))};
                        AudioExporter::write(c, kSampleRate, AudioExporter::Kind::m4a,
                                             fsPath(full));
                        Bytes b = readFile(full);
                        b.resize(b.size() / 2);
                        const QString path = h.dir.filePath("cut.m4a");
                        writeFile(path, b);
                        return path;
                    }});

    // Damaged but readable: the frames that are there load.
    rows.push_back({"WAV header claiming more data than there is", Outcome::loads,
                    [named](Harness& h) {
                        WavSpec s;
                        s.body = pcm16(22050, 1);
                        s.dataBytes = 10 * 44100 * 2; // claims 10 s, holds 0.5 s
                        return named(h, "claims-more.wav", wavBytes(s));
                    },
                    22050});
    rows.push_back({"6-hour silent WAV header with a tiny body", Outcome::loads,
                    [named](Harness& h) {
                        WavSpec s;
                        s.channels = 2;
                        s.body = Bytes(4410 * 4, 0); // 0.1 s of stereo silence
                        s.dataBytes = 6u * 3600u * 44100u * 4u;
                        return named(h, "six-hours.wav", wavBytes(s));
                    },
                    4410});
    rows.push_back({"WAV streamed with an unknown length", Outcome::loads,
                    [named](Harness& h) {
                        WavSpec s;
                        s.body = pcm16(11025, 1);
                        s.dataBytes = 0xffffffffu;
                        return named(h, "streamed.wav", wavBytes(s));
                    },
                    11025});
    rows.push_back({"WAV cut inside a sample", Outcome::loads,
                    [named](Harness& h) {
                        WavSpec s;
                        s.channels = 2;
                        s.body = pcm16(8820, 2);
                        s.dataBytes = static_cast<std::uint32_t>(s.body.size());
                        Bytes b = wavBytes(s);
                        b.resize(b.size() - 3); // the last frame loses 3 of its 4 bytes
                        return named(h, "cut-sample.wav", b);
                    },
                    8819});
    rows.push_back({"a single frame", Outcome::loads,
                    [named](Harness& h) {
                        WavSpec s;
                        s.body = pcm16(1, 1);
                        s.dataBytes = 2;
                        return named(h, "one-frame.wav", wavBytes(s));
                    },
                    1});
    rows.push_back({"float WAV full of NaN and infinities", Outcome::loads,
                    [named](Harness& h) {
                        std::vector<float> samples(22050, 0.25f);
                        for (std::size_t i = 0; i < samples.size(); i += 3) {
                            samples[i] = i % 2 ? std::nanf("") : -INFINITY;
                        }
                        samples[5] = INFINITY;
                        samples[7] = 1e38f;
                        samples[8] = 1e-42f; // denormal
                        WavSpec s;
                        s.formatTag = 3;
                        s.bits = 32;
                        s.body = floats(samples);
                        s.dataBytes = static_cast<std::uint32_t>(s.body.size());
                        return named(h, "nonfinite.wav", wavBytes(s));
                    },
                    22050});
    rows.push_back({"six channels", Outcome::loads,
                    [named](Harness& h) {
                        WavSpec s;
                        s.channels = 6;
                        s.body = pcm16(4410, 6);
                        s.dataBytes = static_cast<std::uint32_t>(s.body.size());
                        return named(h, "surround.wav", wavBytes(s));
                    },
                    4410});
    rows.push_back({"8,000 Hz telephone recording", Outcome::loads,
                    [named](Harness& h) {
                        WavSpec s;
                        s.rate = 8000;
                        s.body = pcm16(8000, 1);
                        s.dataBytes = static_cast<std::uint32_t>(s.body.size());
                        return named(h, "phone.wav", wavBytes(s));
                    },
                    -1});
    rows.push_back({"name with spaces, quotes and non-ASCII letters", Outcome::loads,
                    [](Harness& h) {
                        return h.writeTone(QStringLiteral("Büro \"take\" 'één' 日本 ünïcödé.wav"),
                                           0.5, 2);
                    },
                    22050});
    rows.push_back({"name that looks like a protocol", Outcome::loads,
                    [](Harness& h) { return h.writeTone("concat:take|2.wav", 0.25, 1); }, 11025});
    rows.push_back({"name with a newline", Outcome::loads,
                    [](Harness& h) { return h.writeTone("line\nbreak.wav", 0.25, 1); }, 11025});
    // The file is cut to its header and filled again, over and over, while it loads.
    rows.push_back({"file that changes while being read", Outcome::eitherWay,
                    [](Harness& h) { return h.writeTone("changing.wav", 1.0, 2); }, -1,
                    [](const QString& path, std::atomic<bool>& stop) {
                        const Bytes whole = readFile(path);
                        const Bytes header(whole.begin(), whole.begin() + 44);
                        bool full = false;
                        while (!stop.load()) {
                            writeFile(path, full ? whole : header);
                            full = !full;
                        }
                        writeFile(path, whole);
                    }});
    return rows;
}

// Where the message is Taln's own, or names the cause the user must act on.
const std::map<std::string, QString>& exactMessages() {
    static const QString noAudio = QStringLiteral("That file doesn't contain an audio track.");
    static const std::map<std::string, QString> messages = {
        {"missing path",
         QStringLiteral("missing.wav can't be found; it may have been moved or deleted "
                        "(No such file or directory)")},
        {"a directory", QStringLiteral("folder.wav is a folder, not a file (Is a directory)")},
        {"0-byte .mp3", noAudio},
        {"text file named .wav",
         QStringLiteral("notes.wav isn't an audio or video file Taln can read "
                        "(Invalid data found when processing input)")},
        {"WAV without any frames", noAudio},
        {"video without sound", noAudio},
        {"symlink loop", QStringLiteral("loop-a.wav: Too many levels of symbolic links")},
        {"named pipe nobody writes to", QStringLiteral("pipe.wav: Not a regular file")},
        {"symlink to an endless device", QStringLiteral("zeros.wav: Not a regular file")},
    };
    return messages;
}

// One test per row, named after its kind.
class BadInput : public ::testing::TestWithParam<Row> {};

std::string testName(const ::testing::TestParamInfo<Row>& info) {
    std::string name;
    bool upper = true;
    for (const char c : std::string(info.param.kind)) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            upper = false;
        } else {
            upper = true;
        }
    }
    return name;
}

TEST_P(BadInput, EndsInAMessageOrALoadAndTheEarlierFileSurvives) {
    const Row& row = GetParam();
    Harness h;
    TalnModel& m = *h.model;
    h.loadAndSettle(h.writeTone("good.wav", 1.0, 2));
    const Channels good = m.orig();

    const QString path = row.make(h);
    if (path.isEmpty()) {
        GTEST_SKIP() << "cannot be made here (running as root, or no named pipes)";
    }
    std::atomic<bool> stop{false};
    std::thread meddler;
    if (row.meanwhile) {
        meddler = std::thread(row.meanwhile, path, std::ref(stop));
    }
    m.load(path);
    const bool settled = waitFor([&] { return !m.isLoading() && !m.isProcessing(); });
    stop = true;
    if (meddler.joinable()) {
        meddler.join();
    }
    ASSERT_TRUE(settled) << "still loading";

    const bool loaded = m.orig() != good;
    // The outcome of every row, for the XML report (--gtest_output=xml).
    RecordProperty(row.kind, loaded ? "loaded " + std::to_string(frameCount(m.orig())) + " frames"
                                    : m.errorMessage().toStdString());
    if (row.outcome == Outcome::fails) {
        EXPECT_FALSE(loaded) << "loaded a file that should fail";
    } else if (row.outcome == Outcome::loads) {
        EXPECT_TRUE(loaded) << m.errorMessage().toStdString();
    }

    if (loaded) {
        EXPECT_TRUE(m.errorMessage().isNull()) << m.errorMessage().toStdString();
        EXPECT_EQ(m.fileName(), QFileInfo(path).fileName());
        ASSERT_FALSE(m.orig().empty());
        if (row.expectedFrames >= 0) {
            EXPECT_EQ(frameCount(m.orig()), row.expectedFrames);
        }
        EXPECT_EQ(m.duration(), static_cast<double>(frameCount(m.orig())) / m.sampleRate());
        // What plays and exports is finite, whatever the file held.
        std::int64_t nonFinite = 0;
        const Channels cleaned = test::copyOf(m.cleanedAudio());
        for (const Channels* audio : {&m.orig(), &cleaned}) {
            for (const ChannelPtr& channel : *audio) {
                nonFinite += std::count_if(channel->begin(), channel->end(),
                                           [](float x) { return !std::isfinite(x); });
            }
        }
        EXPECT_EQ(nonFinite, 0);
        // Playing a file of a few frames reaches its end at once; it only has to start.
        if (m.duration() > 0.1) {
            expectPlayable(h, row.kind);
        } else {
            m.togglePlay();
            EXPECT_TRUE(m.isPlaying()) << m.errorMessage().toStdString();
            h.output->advance(kLead + 4410);
            ASSERT_TRUE(waitFor([&] { return !m.isPlaying(); }));
        }
    } else {
        EXPECT_TRUE(isClearMessage(m.errorMessage())) << m.errorMessage().toStdString();
        if (const auto it = exactMessages().find(row.kind); it != exactMessages().end()) {
            EXPECT_EQ(m.errorMessage(), it->second);
        }
        EXPECT_EQ(m.fileName(), QStringLiteral("good.wav"));
        ASSERT_EQ(m.orig().size(), good.size());
        EXPECT_EQ(m.orig()[0], good[0]);
        EXPECT_EQ(m.duration(), 1.0);
        expectPlayable(h, row.kind);
    }
    expectExportable(h, row.kind);
}

INSTANTIATE_TEST_SUITE_P(Files, BadInput, ::testing::ValuesIn(table()), testName);

TEST(BadInputTable, HasAtLeastTwentyKindsWithDistinctNames) {
    std::set<std::string> names;
    for (const Row& row : table()) {
        names.insert(testName(::testing::TestParamInfo<Row>(row, 0)));
    }
    EXPECT_GE(names.size(), 20u);
    EXPECT_EQ(names.size(), table().size());
}

} // namespace
} // namespace taln
