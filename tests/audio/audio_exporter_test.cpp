#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/chunked_audio.h"
#include "audio/taln_error.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace taln {
namespace {

using AudioExporter::Kind;
using AudioExporter::WavSamples;
using test::TestFiles;

ChannelPtr channelOf(std::vector<float> samples) {
    return std::make_shared<const Channel>(std::move(samples));
}

// Uniform noise in [-amplitude, amplitude), the same for the same seed.
std::vector<float> noise(std::int64_t frames, float amplitude, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-amplitude, amplitude);
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (auto& s : samples) {
        s = uniform(random);
    }
    return samples;
}

std::vector<float> sine(std::int64_t frames, double hertz, float amplitude) {
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] =
            amplitude * static_cast<float>(std::sin(2.0 * M_PI * hertz * double(i) / 44100.0));
    }
    return samples;
}

// What a 16-bit WAV holds for `x`, as the decoder gives it back: round(x * 32768),
// saturated, over 32768.
float quantised(float x) {
    const double level = std::clamp(std::nearbyint(double(x) * 32768.0), -32768.0, 32767.0);
    return static_cast<float>(level / 32768.0);
}

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        files.push_back(entry.path().filename());
    }
    return files;
}

// 65,537 frames: one whole chunk of 65,536 and a second chunk of a single frame, so a
// wrong offset or length at the chunk boundary shows as a wrong sample.
TEST(AudioExporter, WavRoundTripIsExactTo16BitQuantisation) {
    const auto folder = TestFiles::shared().freshFolder("wav_round_trip");
    for (std::size_t channelCount : {1u, 2u}) {
        SCOPED_TRACE(channelCount);
        Channels channels;
        for (std::size_t c = 0; c < channelCount; ++c) {
            channels.push_back(channelOf(noise(65537, 0.9f, unsigned(11 + c))));
        }
        const auto path = folder / ("noise_" + std::to_string(channelCount) + ".wav");
        AudioExporter::write(channels, 44100.0, Kind::wav, path);

        const test::WavFormat format = test::readWavFormat(path);
        EXPECT_EQ(format.formatTag, 1);
        EXPECT_EQ(format.channels, int(channelCount));
        EXPECT_EQ(format.sampleRate, 44100);
        EXPECT_EQ(format.bitsPerSample, 16);
        EXPECT_EQ(format.dataBytes, 65537 * 2 * std::int64_t(channelCount));

        const Channels decoded = AudioDecoder::decode(path);
        ASSERT_EQ(decoded.size(), channelCount);
        for (std::size_t c = 0; c < channelCount; ++c) {
            ASSERT_EQ(decoded[c]->size(), 65537u);
            for (std::size_t i = 0; i < 65537; ++i) {
                ASSERT_EQ((*decoded[c])[i], quantised((*channels[c])[i]))
                    << "channel " << c << " frame " << i;
            }
        }
    }
}

TEST(AudioExporter, WavSaturatesLoudSamplesAndWritesNanAsZero) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> samples{1.0f,  -1.0f,
                                     1.5f,  -2.0f,
                                     1e9f,  -1e9f,
                                     inf,   -inf,
                                     nan,   0.5f,
                                     -0.5f, 32767.4f / 32768.0f,
                                     0.0f,  -1.0f / 32768.0f};
    const std::vector<float> expected{32767,  -32768, 32767, -32768, 32767, -32768, 32767,
                                      -32768, 0,      16384, -16384, 32767, 0,      -1};
    const auto path = TestFiles::shared().freshFolder("saturation") / "loud.wav";
    AudioExporter::write({channelOf(samples)}, 44100.0, Kind::wav, path);

    const Channels decoded = AudioDecoder::decode(path);
    ASSERT_EQ(decoded.size(), 1u);
    ASSERT_EQ(decoded[0]->size(), samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ((*decoded[0])[i] * 32768.0f, expected[i]) << "sample " << i;
    }
}

TEST(AudioExporter, FloatWavKeepsSamplesExactly) {
    auto samples = noise(70000, 1.5f, 5);
    const std::vector<float> original = samples;
    samples[10] = std::numeric_limits<float>::quiet_NaN();
    const auto path = TestFiles::shared().freshFolder("float_wav") / "float.wav";
    AudioExporter::write({channelOf(samples), channelOf(original)}, 44100.0, Kind::wav, path,
                         WavSamples::float32);

    const test::WavFormat format = test::readWavFormat(path);
    EXPECT_EQ(format.formatTag, 3); // IEEE float
    EXPECT_EQ(format.bitsPerSample, 32);
    EXPECT_EQ(format.channels, 2);
    const Channels decoded = AudioDecoder::decode(path);
    ASSERT_EQ(decoded.size(), 2u);
    for (std::size_t i = 0; i < original.size(); ++i) {
        ASSERT_EQ((*decoded[0])[i], i == 10 ? 0.0f : original[i]) << "frame " << i;
        ASSERT_EQ((*decoded[1])[i], original[i]) << "frame " << i;
    }
}

// Audio held in chunks, one stretch of them replaced by a piece of its own (as a cleaning does),
// is written as the same audio in whole channels is: across the chunk and piece boundaries.
TEST(AudioExporter, ChunkedAudioIsWrittenAsTheSameChannelsAre) {
    const std::int64_t frames = 2 * kChunkFrames + 5000;
    const Channels whole{channelOf(noise(frames, 0.5f, 8)), channelOf(noise(frames, 0.5f, 9))};
    const Channels piece{channelOf(noise(kChunkFrames, 0.5f, 10)),
                         channelOf(noise(kChunkFrames, 0.5f, 11))};
    const ChunkedAudio chunked = ChunkedAudio::fromChannels(whole).withPiece(1, piece);
    const Channels same = chunked.toChannels();
    const auto folder = TestFiles::shared().freshFolder("chunked_export");
    for (const Kind kind : {Kind::wav, Kind::m4a}) {
        const auto a = folder / (kind == Kind::wav ? "chunks.wav" : "chunks.m4a");
        const auto b = folder / (kind == Kind::wav ? "whole.wav" : "whole.m4a");
        AudioExporter::writeChunks(chunked, 44100.0, kind, a, WavSamples::float32);
        AudioExporter::write(same, 44100.0, kind, b, WavSamples::float32);
        const Channels fromChunks = AudioDecoder::decode(a);
        const Channels fromWhole = AudioDecoder::decode(b);
        ASSERT_EQ(fromChunks.size(), 2u);
        for (std::size_t c = 0; c < 2; ++c) {
            EXPECT_EQ(*fromChunks[c], *fromWhole[c]) << c;
        }
        if (kind == Kind::wav) {
            EXPECT_EQ(*fromChunks[1], *same[1]); // float WAV: the samples themselves
        }
    }
}

// A Stream fed in uneven appends (one frame, around the encoder's 1,024 and the 65,536-frame
// step, more than a step) writes the file write() writes; one dropped without finish() leaves
// the earlier file as it was.
TEST(AudioExporter, StreamOfUnevenAppendsWritesWhatWriteWrites) {
    const std::int64_t sizes[] = {1, 1023, 1025, 65536, 70000, 3};
    const std::int64_t frames =
        std::accumulate(std::begin(sizes), std::end(sizes), std::int64_t{0});
    const Channels channels{channelOf(noise(frames, 0.5f, 12)), channelOf(sine(frames, 440, 0.3f))};
    const auto folder = TestFiles::shared().freshFolder("stream_export");
    for (const Kind kind : {Kind::wav, Kind::m4a}) {
        const std::string extension = kind == Kind::wav ? ".wav" : ".m4a";
        const auto streamed = folder / ("streamed" + extension);
        const auto whole = folder / ("whole" + extension);
        AudioExporter::write(channels, 44100.0, kind, whole);
        AudioExporter::write(channels, 44100.0, kind, streamed);
        const auto earlier = test::readBytes(streamed);
        {
            AudioExporter::Stream dropped(2, 44100.0, kind, streamed);
            const float* start[] = {channels[0]->data(), channels[1]->data()};
            dropped.append(start, 5000);
        }
        EXPECT_EQ(test::readBytes(streamed), earlier);
        AudioExporter::Stream stream(2, 44100.0, kind, streamed);
        std::int64_t at = 0;
        for (const std::int64_t n : sizes) {
            const float* from[] = {channels[0]->data() + at, channels[1]->data() + at};
            stream.append(from, n);
            at += n;
        }
        stream.finish();
        EXPECT_EQ(test::readBytes(streamed), test::readBytes(whole)) << extension;
        EXPECT_EQ(filesIn(folder).size(), 2u);
        std::filesystem::remove(streamed);
        std::filesystem::remove(whole);
    }
}

TEST(AudioExporter, WavAtAnotherRateDeclaresThatRate) {
    const auto path = TestFiles::shared().freshFolder("rate") / "rate.wav";
    AudioExporter::write({channelOf(noise(4800, 0.5f, 1))}, 48000.0, Kind::wav, path);
    const test::WavFormat format = test::readWavFormat(path);
    EXPECT_EQ(format.sampleRate, 48000);
    EXPECT_EQ(format.dataBytes, 4800 * 2);
}

// AAC adds its encoder delay and pads the last frame; FFmpeg's MP4 writer records both
// and its reader trims them again, so the length comes back within one AAC frame (1,024).
TEST(AudioExporter, M4aRoundTripKeepsChannelsLengthAndSound) {
    const auto folder = TestFiles::shared().freshFolder("m4a_round_trip");
    constexpr std::int64_t kFrames = 3 * 44100;
    for (std::size_t channelCount : {1u, 2u}) {
        SCOPED_TRACE(channelCount);
        Channels channels;
        for (std::size_t c = 0; c < channelCount; ++c) {
            channels.push_back(channelOf(sine(kFrames, 440.0 * double(c + 1), 0.5f)));
        }
        const auto path = folder / ("tone_" + std::to_string(channelCount) + ".m4a");
        AudioExporter::write(channels, 44100.0, Kind::m4a, path);

        const auto bytes = test::readBytes(path);
        ASSERT_GT(bytes.size(), 12u);
        // The .m4a flavour of MP4: the file type box names the "M4A " brand.
        EXPECT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 12), "ftypM4A ");

        const Channels decoded = AudioDecoder::decode(path);
        ASSERT_EQ(decoded.size(), channelCount);
        EXPECT_NEAR(double(frameCount(decoded)), double(kFrames), 1024.0);
        for (std::size_t c = 0; c < channelCount; ++c) {
            // Away from the edges, sample by sample: at 96 kbit/s per channel FFmpeg's AAC
            // encoder brings a pure tone back with an error near 2 % of its RMS (-33 dB);
            // 5 % leaves room for encoder versions. A lost delay compensation (samples
            // shifted by 1,024) or swapped channels would give an error near 100 %.
            double error = 0.0;
            double signal = 0.0;
            const std::int64_t frames = std::min(frameCount(decoded), kFrames);
            for (std::int64_t i = 4096; i < frames - 4096; ++i) {
                const double d = double((*decoded[c])[i]) - (*channels[c])[i];
                error += d * d;
                signal += double((*channels[c])[i]) * (*channels[c])[i];
            }
            EXPECT_LT(std::sqrt(error / signal), 0.05);
        }
    }
}

// The encoder is asked for 96,000 bit/s per channel: on noise, which uses every bit it is
// given, the file size shows whether a stereo file got twice the mono rate.
TEST(AudioExporter, M4aBitRateIs96kPerChannel) {
    const auto folder = TestFiles::shared().freshFolder("m4a_bit_rate");
    constexpr std::int64_t kFrames = 4 * 44100;
    for (std::size_t channelCount : {1u, 2u}) {
        SCOPED_TRACE(channelCount);
        Channels channels;
        for (std::size_t c = 0; c < channelCount; ++c) {
            channels.push_back(channelOf(noise(kFrames, 0.5f, unsigned(20 + c))));
        }
        const auto path = folder / ("noise_" + std::to_string(channelCount) + ".m4a");
        AudioExporter::write(channels, 44100.0, Kind::m4a, path);
        const double expectedBytes = 96000.0 * double(channelCount) * 4.0 / 8.0;
        // Within 15 %: the encoder's rate control and the container's index.
        EXPECT_NEAR(double(std::filesystem::file_size(path)), expectedBytes, 0.15 * expectedBytes);
    }
}

TEST(AudioExporter, ZeroFramesMakeAFileWithoutAudio) {
    const auto folder = TestFiles::shared().freshFolder("zero_frames");
    const Channels empty{channelOf({}), channelOf({})};
    AudioExporter::write(empty, 44100.0, Kind::wav, folder / "empty.wav");
    AudioExporter::write(empty, 44100.0, Kind::m4a, folder / "empty.m4a");

    const test::WavFormat format = test::readWavFormat(folder / "empty.wav");
    EXPECT_EQ(format.channels, 2);
    EXPECT_EQ(format.dataBytes, 0);
    for (const char* name : {"empty.wav", "empty.m4a"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(AudioDecoder::decode(folder / name), TalnError);
    }
}

TEST(AudioExporter, ReplacesAnExistingFileAndLeavesNoTemporaryFile) {
    const auto folder = TestFiles::shared().freshFolder("replace");
    const auto path = folder / "take.wav";
    test::writeBytes(path, std::vector<std::uint8_t>(100000, 0x55));

    AudioExporter::write({channelOf(noise(1000, 0.5f, 2))}, 44100.0, Kind::wav, path);

    EXPECT_EQ(test::readWavFormat(path).dataBytes, 2000);
    EXPECT_EQ(filesIn(folder), std::vector<std::filesystem::path>{"take.wav"});
}

// A replaced file keeps its mode; a new one gets 0666 less the umask; names up to the
// system's 255 bytes work (the temporary name does not grow with them). Nothing else is left
// in the folder.
TEST(AudioExporter, DestinationsKeepTheirModeAndLongNamesWork) {
    const auto folder = TestFiles::shared().freshFolder("modes");
    const mode_t umaskNow = ::umask(022);
    struct Case {
        std::string name;
        Kind kind;
        int earlierMode; // -1: no earlier file
        mode_t expectedMode;
    };
    const Case cases[] = {
        {"private.wav", Kind::wav, 0600, 0600},
        {"shared.m4a", Kind::m4a, 0664, 0664},
        {"new.wav", Kind::wav, -1, 0644},
        {std::string(251, 'a') + ".wav", Kind::wav, -1, 0644},
        {std::string(251, 'b') + ".m4a", Kind::m4a, 0640, 0640},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        const auto path = folder / c.name;
        if (c.earlierMode >= 0) {
            test::writeBytes(path, {1, 2, 3});
            ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.earlierMode)), 0);
        }
        AudioExporter::write({channelOf(noise(4096, 0.5f, 5))}, 44100.0, c.kind, path);
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.expectedMode);
        EXPECT_GE(frameCount(AudioDecoder::decode(path)), 4096);
    }
    ::umask(umaskNow);
    EXPECT_EQ(filesIn(folder).size(), std::size(cases));
}

TEST(AudioExporter, ChannelsThatCannotBeWrittenAreRejectedBeforeAnythingIsWritten) {
    const auto folder = TestFiles::shared().freshFolder("rejected");
    const auto path = folder / "out.wav";
    EXPECT_THROW(AudioExporter::write({}, 44100.0, Kind::wav, path), std::invalid_argument);
    EXPECT_THROW(AudioExporter::write({channelOf({0.0f, 0.1f}), channelOf({0.0f})}, 44100.0,
                                      Kind::m4a, path),
                 std::invalid_argument);
    EXPECT_THROW(AudioExporter::write({channelOf({0.0f}), nullptr}, 44100.0, Kind::wav, path),
                 std::invalid_argument);
    EXPECT_THROW(AudioExporter::write({channelOf({0.0f})}, 0.0, Kind::wav, path),
                 std::invalid_argument);
    EXPECT_TRUE(filesIn(folder).empty());
}

// Keeps every write of this process below `bytes` while alive: a write past the limit
// fails with EFBIG ("File too large") like a full disk fails with ENOSPC, and works for
// root too, whom permissions do not stop.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

TEST(AudioExporter, FailedExportLeavesTheEarlierFileByteForByte) {
    const auto folder = TestFiles::shared().freshFolder("failed_export");
    std::vector<std::uint8_t> earlier(5000);
    for (std::size_t i = 0; i < earlier.size(); ++i) {
        earlier[i] = static_cast<std::uint8_t>(i * 7);
    }
    const Channels channels{channelOf(noise(200000, 0.5f, 3)), channelOf(noise(200000, 0.5f, 4))};

    for (Kind kind : {Kind::wav, Kind::m4a}) {
        const auto path = folder / (kind == Kind::wav ? "take.wav" : "take.m4a");
        SCOPED_TRACE(path.filename().string());
        test::writeBytes(path, earlier);
        std::string message;
        {
            const FileSizeLimit limit(16 * 1024);
            try {
                AudioExporter::write(channels, 44100.0, kind, path);
            } catch (const std::runtime_error& error) {
                message = error.what();
            }
        }
        EXPECT_EQ(message, path.filename().string() + ": File too large");
        EXPECT_EQ(test::readBytes(path), earlier);
    }
    // Nothing but the two earlier files: the temporary files are gone.
    EXPECT_EQ(filesIn(folder).size(), 2u);
}

TEST(AudioExporter, ReportsProgressAndACancelledWriteLeavesTheEarlierFile) {
    const auto folder = TestFiles::shared().freshFolder("cancelled_export");
    const std::vector<std::uint8_t> earlier(3000, 0x2a);
    // Three chunks, so progress has steps to take.
    const Channels channels{channelOf(noise(150000, 0.5f, 8))};
    for (Kind kind : {Kind::wav, Kind::m4a}) {
        const auto path = folder / (kind == Kind::wav ? "take.wav" : "take.m4a");
        SCOPED_TRACE(path.filename().string());
        std::atomic<float> progress{0.0f};
        std::atomic<bool> cancel{false};
        AudioExporter::WriteControl control{&cancel, &progress};
        AudioExporter::write(channels, 44100.0, kind, path, WavSamples::int16, control);
        EXPECT_EQ(progress.load(), 1.0f);

        test::writeBytes(path, earlier);
        cancel = true;
        EXPECT_THROW(
            AudioExporter::write(channels, 44100.0, kind, path, WavSamples::int16, control),
            AudioExporter::WriteCancelled);
        EXPECT_EQ(test::readBytes(path), earlier);
    }
    EXPECT_EQ(filesIn(folder).size(), 2u);
}

TEST(AudioExporter, UnwritableDestinationReportsTheSystemsMessage) {
    const auto folder = TestFiles::shared().freshFolder("unwritable");
    const Channels channels{channelOf(noise(100, 0.5f, 1))};
    try {
        AudioExporter::write(channels, 44100.0, Kind::wav, folder / "missing" / "out.wav");
        ADD_FAILURE() << "written into a missing folder";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "out.wav: No such file or directory");
    }

    if (geteuid() != 0) {
        const auto locked = folder / "locked";
        std::filesystem::create_directory(locked);
        test::writeBytes(locked / "out.wav", {1, 2, 3});
        chmod(locked.c_str(), 0555);
        EXPECT_THROW(AudioExporter::write(channels, 44100.0, Kind::wav, locked / "out.wav"),
                     std::runtime_error);
        EXPECT_EQ(test::readBytes(locked / "out.wav"), (std::vector<std::uint8_t>{1, 2, 3}));
        chmod(locked.c_str(), 0755);
    }
}

} // namespace
} // namespace taln
