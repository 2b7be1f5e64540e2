#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/chunked_audio.h"
#include "audio/taln_error.h"
#include "audio/video_exporter.h"
#include "tests/audio/media_probe.h"
#include "tests/audio/test_files.h"
#include "tests/support/chunked_copies.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace taln {
namespace {

using AudioExporter::Kind;
using test::TestFiles;

constexpr AudioFormat k16Bit44k{44100, 0, SampleDepth::int16};
constexpr AudioFormat kFloat44k{44100, 0, SampleDepth::float32};

std::string extensionOf(Kind kind) {
    return kind == Kind::wav ? ".wav" : kind == Kind::flac ? ".flac" : ".m4a";
}

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
    AudioExporter::write(ChunkedAudio::fromChannels({channelOf(samples), channelOf(original)}),
                         kFloat44k, Kind::wav, path);

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

// Every channel `frames` long, channel c a 40 Hz tone at 0.1 · (c + 1): a place and a level of
// its own. 40 Hz, so that an LFE channel keeps it too (FFmpeg's AAC encoder keeps only the
// lowest few dozen hertz of an LFE channel at 8 kHz).
Channels tones(int channelCount, std::int64_t frames, int rate) {
    Channels channels;
    for (int c = 0; c < channelCount; ++c) {
        std::vector<float> samples(static_cast<std::size_t>(frames));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] = 0.1f * float(c + 1) *
                         static_cast<float>(std::sin(2.0 * M_PI * 40.0 * double(i) / rate));
        }
        channels.push_back(channelOf(std::move(samples)));
    }
    return channels;
}

// The file decoded by ffmpeg to interleaved float, in its own channel order.
std::vector<float> decodedByFfmpeg(const std::filesystem::path& path) {
    const std::string bytes = test::capture("ffmpeg -nostdin -v error -i " +
                                            test::shellQuote(path.string()) + " -f f32le -");
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

double rmsOf(const std::vector<float>& interleaved, int channels, int channel, std::int64_t from,
             std::int64_t to) {
    double sum = 0.0;
    for (std::int64_t i = from; i < to; ++i) {
        const double x = interleaved[static_cast<std::size_t>(i * channels + channel)];
        sum += x * x;
    }
    return std::sqrt(sum / double(to - from));
}

struct FormatCase {
    const char* name;
    AudioFormat format;
    int channels;
    Kind kind;
    // ffprobe's codec_name, sample_rate, channels, channel_layout, bits_per_raw_sample.
    const char* probed;
};

class ExportFormat : public testing::TestWithParam<FormatCase> {};

// The file holds the source's rate, channels, layout and depth (or what the codec holds nearest
// to them), and every channel at its own level in its own place.
TEST_P(ExportFormat, KeepsTheSourcesRateLayoutDepthAndLevels) {
    const FormatCase& c = GetParam();
    const std::int64_t frames = c.format.sampleRate / 2;
    const Channels channels = tones(c.channels, frames, c.format.sampleRate);
    const auto path = TestFiles::shared().freshFolder(std::string("format_") + c.name) /
                      ("out" + extensionOf(c.kind));
    const AudioExporter::Written written =
        AudioExporter::write(ChunkedAudio::fromChannels(channels), c.format, c.kind, path);

    EXPECT_EQ(test::capture("ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,"
                            "sample_rate,channels,channel_layout,bits_per_raw_sample -of "
                            "csv=p=0 " +
                            test::shellQuote(path.string())),
              std::string(c.probed) + "\n");
    const std::vector<float> decoded = decodedByFfmpeg(path);
    const auto decodedFrames = static_cast<std::int64_t>(decoded.size()) / c.channels;
    const double ratio = double(written.format.sampleRate) / c.format.sampleRate;
    ASSERT_GE(decodedFrames, std::int64_t(0.45 * double(frames) * ratio));
    for (int ch = 0; ch < c.channels; ++ch) {
        // A sine's RMS is its amplitude / sqrt 2; away from the ends (the encoder's priming and
        // ramps). Within 0.3 dB: AAC keeps a steady tone's level far closer, a channel that
        // went elsewhere would be 1.5 dB or more off its neighbours.
        const double rms = rmsOf(decoded, c.channels, ch, decodedFrames / 4, 3 * decodedFrames / 4);
        EXPECT_NEAR(20.0 * std::log10(rms * std::sqrt(2.0) / (0.1 * (ch + 1))), 0.0, 0.3)
            << "channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ExportFormat,
    testing::Values(
        FormatCase{"wav_48k_stereo_16",
                   {48000, 0, SampleDepth::int16},
                   2,
                   Kind::wav,
                   "pcm_s16le,48000,2,unknown,N/A"},
        FormatCase{"wav_96k_mono_float",
                   {96000, 0, SampleDepth::float32},
                   1,
                   Kind::wav,
                   "pcm_f32le,96000,1,mono,N/A"},
        FormatCase{"wav_8k_mono_lossy",
                   {8000, 0, SampleDepth::lossy},
                   1,
                   Kind::wav,
                   "pcm_s16le,8000,1,unknown,N/A"},
        FormatCase{"wav_44k_51side_24",
                   {44100, AV_CH_LAYOUT_5POINT1, SampleDepth::int24},
                   6,
                   Kind::wav,
                   "pcm_s24le,44100,6,5.1(side),24"},
        FormatCase{"wav_192k_stereo_32",
                   {192000, 0, SampleDepth::int32},
                   2,
                   Kind::wav,
                   "pcm_s32le,192000,2,stereo,32"},
        FormatCase{"flac_48k_51_24",
                   {48000, AV_CH_LAYOUT_5POINT1_BACK, SampleDepth::int24},
                   6,
                   Kind::flac,
                   "flac,48000,6,5.1,24"},
        FormatCase{"flac_44k_stereo_float",
                   {44100, 0, SampleDepth::float32},
                   2,
                   Kind::flac,
                   "flac,44100,2,stereo,24"},
        FormatCase{"flac_96k_71_lossy",
                   {96000, 0, SampleDepth::lossy},
                   8,
                   Kind::flac,
                   "flac,96000,8,7.1,16"},
        FormatCase{"m4a_48k_51side",
                   {48000, AV_CH_LAYOUT_5POINT1, SampleDepth::int16},
                   6,
                   Kind::m4a,
                   "aac,48000,6,5.1,N/A"},
        FormatCase{"m4a_192k_stereo",
                   {192000, 0, SampleDepth::float32},
                   2,
                   Kind::m4a,
                   "aac,96000,2,stereo,N/A"},
        FormatCase{
            "m4a_176k_mono", {176400, 0, SampleDepth::int24}, 1, Kind::m4a, "aac,88200,1,mono,N/A"},
        FormatCase{"m4a_8k_71", {8000, 0, SampleDepth::int16}, 8, Kind::m4a, "aac,8000,8,7.1,N/A"}),
    [](const testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

// Integer samples at 24 and 32 bits come back as exactly as those depths hold them: scaled by
// 2^23 or 2^31, rounded, saturated.
TEST(AudioExporter, DeepWavKeepsEveryBitOfItsDepth) {
    const std::vector<float> samples{0.0f,  1.0f,         -1.0f, 1.5f,
                                     -2.0f, 0.123456789f, -0.5f, 1.0f / 8388608.0f,
                                     3e-9f, -0.99999994f, 0.25f, -1.0f / 8388608.0f};
    const auto folder = TestFiles::shared().freshFolder("deep_wav");
    for (const auto& [depth, bits] :
         {std::pair{SampleDepth::int24, 24}, std::pair{SampleDepth::int32, 32}}) {
        SCOPED_TRACE(bits);
        const auto path = folder / ("deep" + std::to_string(bits) + ".wav");
        AudioExporter::write(ChunkedAudio::fromChannels({channelOf(samples)}), {44100, 0, depth},
                             Kind::wav, path);
        const std::vector<float> decoded = decodedByFfmpeg(path);
        ASSERT_EQ(decoded.size(), samples.size());
        const double scale = std::ldexp(1.0, bits - 1);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double level =
                std::clamp(std::nearbyint(double(samples[i]) * scale), -scale, scale - 1.0);
            EXPECT_EQ(decoded[i], static_cast<float>(level / scale)) << "sample " << i;
        }
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
    const Channels same = test::copyOf(chunked);
    const auto folder = TestFiles::shared().freshFolder("chunked_export");
    for (const Kind kind : {Kind::wav, Kind::m4a}) {
        const auto a = folder / (kind == Kind::wav ? "chunks.wav" : "chunks.m4a");
        const auto b = folder / (kind == Kind::wav ? "whole.wav" : "whole.m4a");
        AudioExporter::write(chunked, kFloat44k, kind, a);
        AudioExporter::write(ChunkedAudio::fromChannels(same), kFloat44k, kind, b);
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
    for (const Kind kind : {Kind::wav, Kind::m4a, Kind::flac}) {
        const std::string extension = extensionOf(kind);
        const auto streamed = folder / ("streamed" + extension);
        const auto whole = folder / ("whole" + extension);
        AudioExporter::write(channels, 44100.0, kind, whole);
        AudioExporter::write(channels, 44100.0, kind, streamed);
        const auto earlier = test::readBytes(streamed);
        {
            AudioExporter::Stream dropped(2, k16Bit44k, kind, streamed);
            const float* start[] = {channels[0]->data(), channels[1]->data()};
            dropped.append(start, 5000);
        }
        EXPECT_EQ(test::readBytes(streamed), earlier);
        AudioExporter::Stream stream(2, k16Bit44k, kind, streamed);
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
    AudioExporter::write(empty, 44100.0, Kind::flac, folder / "empty.flac");

    const test::WavFormat format = test::readWavFormat(folder / "empty.wav");
    EXPECT_EQ(format.channels, 2);
    EXPECT_EQ(format.dataBytes, 0);
    for (const char* name : {"empty.wav", "empty.m4a", "empty.flac"}) {
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

    for (Kind kind : {Kind::wav, Kind::m4a, Kind::flac}) {
        const auto path = folder / ("take" + extensionOf(kind));
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
    // Nothing but the earlier files: the temporary files are gone.
    EXPECT_EQ(filesIn(folder).size(), 3u);
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

// What a writer sends into a pipe, read on another thread as a reader of standard output would.
std::string throughPipe(const std::function<void(const Destination&)>& write) {
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::runtime_error("no pipe");
    }
    std::string bytes;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n = 0;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
    });
    try {
        write(Destination::pipe(fds[1]));
    } catch (...) {
        ::close(fds[1]);
        reader.join();
        ::close(fds[0]);
        throw;
    }
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    return bytes;
}

// Into a pipe: WAV with the sizes FFmpeg writes for pipes, and the samples of the file; FLAC
// with the samples of the file; M4A as fragmented MP4, with the encoder's priming kept (1,024
// samples) and the length within one more AAC frame.
TEST(AudioExporter, WritesIntoAPipe) {
    const std::int64_t frames = 3 * 48000;
    const ChunkedAudio audio = ChunkedAudio::fromChannels(
        {channelOf(noise(frames, 0.5f, 31)), channelOf(noise(frames, 0.5f, 32))});
    const AudioFormat format{48000, 0, SampleDepth::int16};
    const auto folder = TestFiles::shared().freshFolder("pipe");
    for (const Kind kind : {Kind::wav, Kind::flac, Kind::m4a}) {
        SCOPED_TRACE(extensionOf(kind));
        const std::string bytes = throughPipe(
            [&](const Destination& to) { AudioExporter::write(audio, format, kind, to); });
        const auto piped = folder / ("piped" + extensionOf(kind));
        test::writeBytes(piped, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        const auto file = folder / ("file" + extensionOf(kind));
        AudioExporter::write(audio, format, kind, file);
        const std::vector<float> fromPipe = decodedByFfmpeg(piped);
        if (kind == Kind::m4a) {
            EXPECT_GE(std::int64_t(fromPipe.size()) / 2, frames + 1024);
            EXPECT_LE(std::int64_t(fromPipe.size()) / 2, frames + 2048);
            continue;
        }
        EXPECT_EQ(fromPipe, decodedByFfmpeg(file));
        if (kind == Kind::wav) {
            ASSERT_GT(bytes.size(), 8u);
            EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\xff')); // the RIFF size
        }
    }
}

struct WriterCase {
    const char* name;
    const char* extension;
    std::function<void(const ChunkedAudio&, const std::filesystem::path&, const WriteControl&)>
        write;
};

std::filesystem::path sourceVideo() {
    return TestFiles::shared().make(
        "writers_mpeg4_aac48.mp4",
        "-f lavfi -i testsrc2=s=96x64:r=25:d=2 -f lavfi -i "
        "\"aevalsrc=0.2*sin(2*PI*300*t)|0.1*sin(2*PI*500*t):s=48000:d=2\" "
        "-c:v mpeg4 -c:a aac");
}

class Writers : public testing::TestWithParam<WriterCase> {};

// Every writer follows one control: its progress ends at 1, and a cancel, read while it
// writes, stops it with the earlier file at the destination as it was and nothing beside it.
TEST_P(Writers, ReportProgressAndStopOnACancel) {
    const WriterCase& c = GetParam();
    const std::int64_t frames = 2 * 48000;
    const ChunkedAudio audio = ChunkedAudio::fromChannels(tones(2, frames, 48000));
    const auto folder = TestFiles::shared().freshFolder(std::string("writer_") + c.name);
    const auto path = folder / (std::string("take") + c.extension);

    std::atomic<float> progress{0.0f};
    std::atomic<bool> cancel{false};
    const WriteControl control{&cancel, &progress};
    c.write(audio, path, control);
    EXPECT_EQ(progress.load(), 1.0f);

    const std::vector<std::uint8_t> earlier(3000, 0x2a);
    test::writeBytes(path, earlier);
    cancel = true;
    EXPECT_THROW(c.write(audio, path, control), WriteCancelled);
    EXPECT_EQ(test::readBytes(path), earlier);
    EXPECT_EQ(filesIn(folder).size(), 1u);
}

const AudioFormat kStereo48k{48000, 0, SampleDepth::int16};

INSTANTIATE_TEST_SUITE_P(
    EveryWriter, Writers,
    testing::Values(
        WriterCase{
            "wav", ".wav",
            [](const ChunkedAudio& a, const std::filesystem::path& p, const WriteControl& w) {
                AudioExporter::write(a, kStereo48k, Kind::wav, p, {}, w);
            }},
        WriterCase{
            "flac", ".flac",
            [](const ChunkedAudio& a, const std::filesystem::path& p, const WriteControl& w) {
                AudioExporter::write(a, kStereo48k, Kind::flac, p, {}, w);
            }},
        WriterCase{
            "m4a", ".m4a",
            [](const ChunkedAudio& a, const std::filesystem::path& p, const WriteControl& w) {
                AudioExporter::write(a, kStereo48k, Kind::m4a, p, {}, w);
            }},
        WriterCase{
            "normalised_wav", ".wav",
            [](const ChunkedAudio& a, const std::filesystem::path& p, const WriteControl& w) {
                AudioExporter::write(a, kStereo48k, Kind::wav, p, {false, -16.0}, w);
            }},
        WriterCase{
            "video", ".mp4",
            [](const ChunkedAudio& a, const std::filesystem::path& p, const WriteControl& w) {
                VideoExporter::write(a, kStereo48k, sourceVideo(), p, {true, -16.0}, w);
            }}),
    [](const testing::TestParamInfo<WriterCase>& info) { return info.param.name; });

} // namespace
} // namespace taln
