#include "audio/audio_decoder.h"
#include "audio/taln_error.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace taln {
namespace {

using test::TestFiles;

// RMS of the middle half of a channel, away from codec start-up and padding.
double middleRms(const Channel& channel) {
    const std::size_t begin = channel.size() / 4;
    const std::size_t end = channel.size() * 3 / 4;
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        sum += double(channel[i]) * channel[i];
    }
    return end > begin ? std::sqrt(sum / double(end - begin)) : 0.0;
}

// A 440 Hz sine of amplitude 0.5 has an RMS of 0.5 / sqrt(2).
constexpr double kSineRms = 0.35355;
const std::string kSine = "0.5*sin(2*PI*440*t)";
constexpr char kDataTag[] = "data";

// Runs ffmpeg's aevalsrc: one expression per channel, `|` between them.
std::string tone(const std::string& channels, int rate, const std::string& layout = "") {
    return "-f lavfi -i \"aevalsrc=" + channels + ":s=" + std::to_string(rate) +
           (layout.empty() ? "" : ":c=" + layout) + ":d=2\"";
}

// A small video (10 frames a second) next to the tone, for containers of films.
std::string withVideo(const std::string& audio) {
    return "-f lavfi -i testsrc=s=64x48:r=10:d=2 " + audio + " -shortest";
}

// A tone in one channel of `count`, the others silent, for aevalsrc.
std::string toneIn(int channel, int count) {
    std::string expressions;
    for (int c = 0; c < count; ++c) {
        expressions += (c > 0 ? "|" : "") + (c == channel ? kSine : std::string("0"));
    }
    return expressions;
}

struct DecodeCase {
    const char* name;      // fixture file name: content, rate, codec
    std::string arguments; // ffmpeg input and codec arguments
    int rate;              // the rate decoded
    std::uint64_t mask;    // the layout decoded
    SampleDepth depth;
    int sourceChannels;
    int toneChannel;    // the channel that carries the tone; every other one is silent
    double toneRms;     // its expected RMS
    std::int64_t slack; // frames the length may differ from 2 s at `rate`
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
    *out << c.name;
}

class DecodeFormats : public ::testing::TestWithParam<DecodeCase> {};

// Lossless sources come out at exactly 2 s, give or take the resampler's last frame.
constexpr std::int64_t kLosslessSlack = 2;
// Lossy codecs trim their priming from the container's gapless data, but round the end
// to their frame (up to 2,048 samples for Vorbis; 1,152 for MP3; 1,024 for AAC).
constexpr std::int64_t kLossySlack = 2048;

constexpr std::uint64_t kMono = AV_CH_LAYOUT_MONO;
constexpr std::uint64_t kStereo = AV_CH_LAYOUT_STEREO;
using enum SampleDepth;

INSTANTIATE_TEST_SUITE_P(
    AudioDecoder, DecodeFormats,
    ::testing::Values(
        DecodeCase{"mono_8000_s16.wav", tone(kSine, 8000) + " -c:a pcm_s16le", 8000, kMono, int16,
                   1, 0, kSineRms, kLosslessSlack},
        DecodeCase{"stereo_44100_s16.wav", tone(kSine + "|0", 44100) + " -c:a pcm_s16le", 44100,
                   kStereo, int16, 2, 0, kSineRms, kLosslessSlack},
        DecodeCase{"stereo_48000_s24.wav", tone("0|" + kSine, 48000) + " -c:a pcm_s24le", 48000,
                   kStereo, int24, 2, 1, kSineRms, kLosslessSlack},
        DecodeCase{"stereo_48000_s32.wav", tone(kSine + "|0", 48000) + " -c:a pcm_s32le", 48000,
                   kStereo, int32, 2, 0, kSineRms, kLosslessSlack},
        DecodeCase{"stereo_96000_f32.wav", tone(kSine + "|0", 96000) + " -c:a pcm_f32le", 96000,
                   kStereo, float32, 2, 0, kSineRms, kLosslessSlack},
        DecodeCase{"u8_22050.wav", tone(kSine, 22050) + " -c:a pcm_u8", 22050, kMono, int16, 1, 0,
                   kSineRms, kLosslessSlack},
        // Below 8 kHz up to 8 kHz; above 192 kHz halved until it fits.
        DecodeCase{"mono_4000_s16.wav", tone(kSine, 4000) + " -c:a pcm_s16le", 8000, kMono, int16,
                   1, 0, kSineRms, kLosslessSlack},
        DecodeCase{"mono_352800_s16.wav", tone(kSine, 352800) + " -c:a pcm_s16le", 176400, kMono,
                   int16, 1, 0, kSineRms, kLosslessSlack},
        DecodeCase{"stereo_48000_s16.flac", tone(kSine + "|0", 48000) + " -sample_fmt s16", 48000,
                   kStereo, int16, 2, 0, kSineRms, kLosslessSlack},
        DecodeCase{"stereo_44100_s24.flac", tone(kSine + "|0", 44100) + " -sample_fmt s32", 44100,
                   kStereo, int24, 2, 0, kSineRms, kLosslessSlack},
        // Every channel kept in place with its layout: the centre's tone stays in the centre.
        DecodeCase{"surround51_48000_s16.flac",
                   tone(toneIn(2, 6), 48000, "5.1") + " -sample_fmt s16", 48000,
                   AV_CH_LAYOUT_5POINT1_BACK, int16, 6, 2, kSineRms, kLosslessSlack},
        DecodeCase{"surround51side_48000.wav",
                   tone(toneIn(4, 6), 48000, "5.1(side)") + " -c:a pcm_s16le", 48000,
                   AV_CH_LAYOUT_5POINT1, int16, 6, 4, kSineRms, kLosslessSlack},
        DecodeCase{"surround71_48000.wav", tone(toneIn(7, 8), 48000, "7.1") + " -c:a pcm_s16le",
                   48000, AV_CH_LAYOUT_7POINT1, int16, 8, 7, kSineRms, kLosslessSlack},
        // Ten channels without positions: the first eight as 7.1 (the rest are silent here).
        DecodeCase{"ten_48000.wav", tone(toneIn(5, 10), 48000) + " -c:a pcm_s16le", 48000,
                   AV_CH_LAYOUT_7POINT1, int16, 10, 5, kSineRms, kLosslessSlack},
        DecodeCase{"surround51_48000_aac.mp4",
                   tone(toneIn(2, 6), 48000, "5.1") + " -c:a aac -b:a 384k", 48000,
                   AV_CH_LAYOUT_5POINT1_BACK, lossy, 6, 2, kSineRms, kLossySlack},
        DecodeCase{"mono_44100.mp3", tone(kSine, 44100) + " -c:a libmp3lame -b:a 128k", 44100,
                   kMono, lossy, 1, 0, kSineRms, kLossySlack},
        DecodeCase{"stereo_48000_vorbis.ogg", tone(kSine + "|0", 48000) + " -c:a libvorbis", 48000,
                   kStereo, lossy, 2, 0, kSineRms, kLossySlack},
        DecodeCase{"stereo_48000.opus", tone(kSine + "|0", 48000) + " -c:a libopus -b:a 128k",
                   48000, kStereo, lossy, 2, 0, kSineRms, kLossySlack},
        DecodeCase{"stereo_44100_aac.m4a", tone(kSine + "|0", 44100) + " -c:a aac -b:a 192k", 44100,
                   kStereo, lossy, 2, 0, kSineRms, kLossySlack},
        DecodeCase{"mono_48000_aac_video.mp4",
                   withVideo(tone(kSine, 48000)) + " -c:v mpeg4 -c:a aac", 48000, kMono, lossy, 1,
                   0, kSineRms, kLossySlack},
        DecodeCase{"stereo_44100_pcm_video.mov",
                   withVideo(tone(kSine + "|0", 44100)) + " -c:v mpeg4 -c:a pcm_s16le", 44100,
                   kStereo, int16, 2, 0, kSineRms, kLosslessSlack},
        DecodeCase{"stereo_48000_flac_video.mkv",
                   withVideo(tone(kSine + "|0", 48000)) + " -c:v mpeg4 -c:a flac -sample_fmt s16",
                   48000, kStereo, int16, 2, 0, kSineRms, kLosslessSlack},
        DecodeCase{"stereo_48000_opus_video.webm",
                   withVideo(tone(kSine + "|0", 48000)) + " -c:v libvpx -c:a libopus", 48000,
                   kStereo, lossy, 2, 0, kSineRms, kLossySlack}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    });

TEST_P(DecodeFormats, FirstAudioStreamAtItsRateWithItsChannelsAndDepth) {
    const DecodeCase& c = GetParam();
    const auto path = TestFiles::shared().make(c.name, c.arguments);

    const AudioDecoder::Decoded decoded = AudioDecoder::decodeFile(path);
    const Channels& channels = decoded.channels;
    // Decoded on a second thread, the same samples.
    AudioDecoder::DecodeOptions ahead;
    ahead.decodeAhead = true;
    const Channels aheadChannels = AudioDecoder::decodeFile(path, ahead).channels;
    ASSERT_EQ(aheadChannels.size(), channels.size());
    for (std::size_t i = 0; i < channels.size(); ++i) {
        EXPECT_EQ(*aheadChannels[i], *channels[i]) << i;
    }

    EXPECT_EQ(decoded.format.sampleRate, c.rate);
    EXPECT_EQ(decoded.format.channelMask, c.mask);
    EXPECT_EQ(decoded.format.depth, c.depth);
    EXPECT_EQ(decoded.sourceChannels, c.sourceChannels);
    EXPECT_TRUE(decoded.gaps.empty());
    ASSERT_EQ(channels.size(), static_cast<std::size_t>(std::popcount(c.mask)));
    const std::int64_t frames = frameCount(channels);
    for (const auto& channel : channels) {
        ASSERT_TRUE(channel);
        EXPECT_EQ(static_cast<std::int64_t>(channel->size()), frames);
    }
    EXPECT_NEAR(double(frames), 2.0 * c.rate, double(c.slack));
    for (std::size_t i = 0; i < channels.size(); ++i) {
        const double rms = middleRms(*channels[i]);
        if (static_cast<int>(i) == c.toneChannel) {
            // Within 5 %: lossy codecs at these bit rates keep a pure tone's level to a few
            // tenths of a decibel.
            EXPECT_NEAR(rms, c.toneRms, 0.05 * c.toneRms) << "channel " << i;
        } else {
            // Joint stereo coding may leak a little of the tone; a swapped or interleaved
            // channel would carry all of it.
            EXPECT_LT(rms, 0.05 * c.toneRms) << "channel " << i;
        }
    }
}

TEST(AudioDecoder, FilesWithoutAudioAreNoAudio) {
    auto& files = TestFiles::shared();
    const std::filesystem::path withoutAudio[] = {
        // A video without a sound track.
        files.make("silent_video.mp4", "-f lavfi -i testsrc=s=64x48:r=10:d=1 -c:v mpeg4 -an"),
        // An audio stream that holds no frames.
        files.make("empty_stereo.wav", "-f lavfi -i anullsrc=r=44100:cl=stereo -frames:a 0"),
        files.make("empty_stereo.m4a", "-f lavfi -i anullsrc=r=44100:cl=stereo -t 0 -c:a aac"),
    };
    for (const auto& path : withoutAudio) {
        SCOPED_TRACE(path.filename().string());
        try {
            AudioDecoder::decode(path);
            ADD_FAILURE() << "decoded";
        } catch (const TalnError& error) {
            EXPECT_EQ(error, TalnError(TalnError::noAudio));
            EXPECT_STREQ(error.what(), "That file doesn't contain an audio track.");
        }
    }
}

// Decodes `path` expecting FFmpeg's or the system's own error (never a TalnError) and
// returns its message.
std::string decodeError(const std::filesystem::path& path) {
    try {
        AudioDecoder::decode(path);
    } catch (const TalnError& error) {
        ADD_FAILURE() << "TalnError instead of the system's error: " << error.what();
        return {};
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    ADD_FAILURE() << "decoded " << path;
    return {};
}

TEST(AudioDecoder, UnreadableFilesReportTheSystemsMessageWithTheFileName) {
    auto& files = TestFiles::shared();
    const auto folder = files.freshFolder("unreadable");

    EXPECT_EQ(decodeError(folder / "missing.wav"), "missing.wav: No such file or directory");
    EXPECT_EQ(decodeError(folder), "unreadable: Is a directory");

    std::mt19937 random(7);
    std::vector<std::uint8_t> noise(20000);
    for (auto& byte : noise) {
        byte = static_cast<std::uint8_t>(random());
    }
    test::writeBytes(folder / "noise.m4a", noise);
    const std::string message = decodeError(folder / "noise.m4a");
    EXPECT_EQ(message.rfind("noise.m4a: ", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("noise.m4a: ").size());

    // An MP4 whose index sits at the end and was cut off cannot be read at all.
    const auto whole = test::readBytes(
        files.make("index_at_end.m4a", tone(kSine + "|0", 44100) + " -c:a aac -b:a 128k"));
    test::writeBytes(folder / "cut.m4a",
                     std::vector<std::uint8_t>(whole.begin(), whole.begin() + whole.size() / 2));
    EXPECT_EQ(decodeError(folder / "cut.m4a").rfind("cut.m4a: ", 0), 0u);
}

TEST(AudioDecoder, FileWithoutReadPermissionReportsPermissionDenied) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    const auto folder = TestFiles::shared().freshFolder("private");
    const auto path = folder / "private.wav";
    std::filesystem::copy_file(
        TestFiles::shared().make("stereo_44100_s16.wav",
                                 tone(kSine + "|0", 44100) + " -c:a pcm_s16le"),
        path);
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    EXPECT_EQ(decodeError(path), "private.wav: Permission denied");
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    test::writeBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

// Files that name, chain or make up media, devices, and files too long for the memory given:
// each is refused with its own message, and nothing the file names is read. Each playlist
// names a real neighbour that FFmpeg alone would decode in its place.
TEST(AudioDecoder, CraftedInputsAreRefusedWithTheirMessage) {
    auto& files = TestFiles::shared();
    const auto folder = files.freshFolder("crafted");
    const auto real = files.make("mono_44100_2s.wav", tone(kSine, 44100) + " -c:a pcm_s16le");
    std::filesystem::copy_file(real, folder / "real.wav");
    std::filesystem::copy_file(files.make("mono_44100_2s.aac", "-i " + real.string() + " -c:a aac"),
                               folder / "real.aac");
    std::filesystem::copy_file(files.make("mono_44100_2s.m4a", "-i " + real.string() + " -c:a aac"),
                               folder / "real.m4a");
    writeText(folder / "x.mp3", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\nreal.aac\n"
                                "#EXT-X-ENDLIST\n");
    writeText(folder / "x.m4a",
              "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
              "type=\"static\" mediaPresentationDuration=\"PT2S\" minBufferTime=\"PT1S\" "
              "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\"><Period><AdaptationSet "
              "mimeType=\"audio/mp4\"><Representation id=\"1\" bandwidth=\"1000\"><BaseURL>"
              "real.m4a</BaseURL></Representation></AdaptationSet></Period></MPD>\n");
    writeText(folder / "x.wav", "ffconcat version 1.0\nfile real.wav\n");
    // A binaural-beat script: 43 bytes that claim 20 hours of audio.
    writeText(folder / "beats.mp3", "-SE\nfoo: 200+10/20\nNOW foo\n+20:00:00 foo\n");
    writeText(folder / "not audio.mp3", "Some notes, saved with the wrong extension.\n");
    std::filesystem::create_symlink("/dev/zero", folder / "zero.sw");
    ASSERT_EQ(mkfifo((folder / "pipe.wav").c_str(), 0600), 0);
    // FLAC written to a pipe states no length: only the decoding itself can find it too long.
    const auto unstated =
        files.make("mono_44100_20s_unstated.flac", "-f lavfi -i sine=d=20 -c:a flac -f flac - >");

    const std::string notMedia = TalnError(TalnError::notMedia).what();
    struct Case {
        std::filesystem::path path;
        std::int64_t memoryAvailable;
        std::string message;
    };
    const Case cases[] = {
        {folder / "x.mp3", -1, notMedia},
        {folder / "x.m4a", -1, notMedia},
        {folder / "x.wav", -1, notMedia},
        {folder / "beats.mp3", -1, notMedia},
        // The MP3 demuxer, guessed from the extension alone, said "Invalid argument".
        {folder / "not audio.mp3", -1, "not audio.mp3: Invalid data found when processing input"},
        {folder / "zero.sw", -1, "zero.sw: Not a regular file"},
        {folder / "pipe.wav", -1, "pipe.wav: Not a regular file"},
        // 2 s mono: 88,200 frames x 4 bytes x 3 = 1.06 MB.
        {real, 1000000,
         "mono_44100_2s.wav is too long: it would need 1.1 MB of memory; 1.0 MB are available."},
        {unstated, 2000000,
         "mono_44100_20s_unstated.flac is too long: it would need more than "
         "the 2.0 MB of memory available."},
    };
    for (const Case& c : cases) {
        // Decoding on one thread, and on two (an error on either ends both).
        for (const bool ahead : {false, true}) {
            SCOPED_TRACE(c.path.filename().string() + (ahead ? " ahead" : ""));
            try {
                AudioDecoder::decodeFile(c.path, {c.memoryAvailable, nullptr, nullptr, ahead});
                ADD_FAILURE() << "decoded";
            } catch (const std::exception& error) {
                EXPECT_EQ(error.what(), c.message);
            }
        }
    }
    EXPECT_EQ(AudioDecoder::decodeFile(real, {1100000}).channels.size(), 1u);
}

// A file whose audio stops well short of its stated length is decoded with a warning naming
// both lengths: below 90 % of it, and only with a second or more missing. M4As whose index, at
// the front, states their length, cut to a third, on either side of 90 %, and short of it by
// less than a second.
TEST(AudioDecoder, DecodeFallingWellShortOfTheStatedLengthIsReported) {
    auto& files = TestFiles::shared();
    const auto folder = files.freshFolder("shortfall");
    // The index and a `share` of the samples after it (the AAC packets of a steady tone are
    // all about the same size).
    const auto cut = [&](const std::filesystem::path& whole, const std::string& name,
                         double share) {
        const auto bytes = test::readBytes(whole);
        const char tag[] = "mdat";
        const auto data = std::search(bytes.begin(), bytes.end(), tag, tag + 4) + 4;
        const auto kept = data + std::ptrdiff_t(double(bytes.end() - data) * share);
        test::writeBytes(folder / name, std::vector<std::uint8_t>(bytes.begin(), kept));
        return folder / name;
    };
    const auto six = files.make("mono_44100_6s_faststart.m4a",
                                "-f lavfi -i sine=d=6 -c:a aac -movflags +faststart");
    const auto twenty = files.make("mono_44100_20s_faststart.m4a",
                                   "-f lavfi -i sine=d=20 -c:a aac -movflags +faststart");
    const auto five = files.make("mono_44100_5s_faststart.m4a",
                                 "-f lavfi -i sine=d=5 -c:a aac -movflags +faststart");
    struct Case {
        std::filesystem::path path;
        const char* states; // the length the warning gives; empty: no warning
    };
    const Case cases[] = {
        {six, ""},
        {cut(six, "third.m4a", 1.0 / 3), " s of audio where the file states 6.0 s;"},
        {cut(twenty, "89.m4a", 0.89), " s of audio where the file states 20.0 s;"},
        {cut(twenty, "91.m4a", 0.91), ""},
        {cut(five, "85.m4a", 0.85), ""}, // 0.75 s missing
    };
    for (const Case& c : cases) {
        const std::string warning = AudioDecoder::decodeFile(c.path).shortfallWarning;
        const std::string name = c.path.filename().string();
        if (*c.states == '\0') {
            EXPECT_EQ(warning, "") << name;
        } else {
            EXPECT_EQ(warning.rfind(name + " ends early: ", 0), 0u) << warning;
            EXPECT_NE(warning.find(c.states), std::string::npos) << warning;
        }
    }
    EXPECT_NEAR(double(AudioDecoder::decodeFile(six).statedFrames), 6 * 44100, 2048);
}

// A cut-off WAV plays up to the cut, as players do: the frames that are there are kept.
TEST(AudioDecoder, TruncatedWavKeepsTheFramesBeforeTheCut) {
    const auto whole = test::readBytes(TestFiles::shared().make(
        "stereo_44100_s16.wav", tone(kSine + "|0", 44100) + " -c:a pcm_s16le"));
    const auto folder = TestFiles::shared().freshFolder("truncated");
    // The header (under 100 bytes) plus one second of 16-bit stereo.
    const std::size_t header = whole.size() - 2 * 44100 * 4;
    test::writeBytes(folder / "half.wav",
                     std::vector<std::uint8_t>(whole.begin(), whole.begin() + header + 44100 * 4));

    const Channels channels = AudioDecoder::decode(folder / "half.wav");
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_EQ(frameCount(channels), 44100);
}

// MP3 behind a 16-bit stereo WAV header is found by its content and decoded as MP3 (2 s, mono),
// not played as 16-bit noise (a fifth of a second of it), although the decoder probes only the
// first two packets of a WAV.
TEST(AudioDecoder, Mp3InsideAPcmWavHeaderIsDecodedAsMp3) {
    auto bytes = test::readBytes(TestFiles::shared().make(
        "stereo_44100_s16.wav", tone(kSine + "|0", 44100) + " -c:a pcm_s16le"));
    const auto mp3 = test::readBytes(TestFiles::shared().make(
        "mono_44100.mp3", tone(kSine, 44100) + " -c:a libmp3lame -b:a 128k"));
    const auto data = std::search(bytes.begin(), bytes.end(), kDataTag, kDataTag + 4);
    ASSERT_NE(data, bytes.end());
    bytes.erase(data + 8, bytes.end());
    bytes.insert(bytes.end(), mp3.begin(), mp3.end());
    const auto put32 = [&](std::size_t at, std::size_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    put32(4, bytes.size() - 8);
    put32(static_cast<std::size_t>(data - bytes.begin()) + 4, mp3.size());
    const auto folder = TestFiles::shared().freshFolder("mp3_in_wav");
    test::writeBytes(folder / "mp3.wav", bytes);

    const Channels channels = AudioDecoder::decode(folder / "mp3.wav");
    ASSERT_EQ(channels.size(), 1u);
    EXPECT_NEAR(double(frameCount(channels)), 2.0 * 44100.0, double(kLossySlack));
    EXPECT_NEAR(middleRms(*channels[0]), kSineRms, 0.1 * kSineRms);
}

// Damaged packets in the middle of a file are skipped; the rest of the recording is kept.
TEST(AudioDecoder, DamagedPacketsMidFileAreSkipped) {
    auto bytes = test::readBytes(TestFiles::shared().make(
        "mono_44100.mp3", tone(kSine, 44100) + " -c:a libmp3lame -b:a 128k"));
    std::mt19937 random(3);
    for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 600; ++i) {
        bytes[i] = static_cast<std::uint8_t>(random());
    }
    const auto folder = TestFiles::shared().freshFolder("damaged");
    test::writeBytes(folder / "damaged.mp3", bytes);

    const Channels channels = AudioDecoder::decode(folder / "damaged.mp3");
    ASSERT_EQ(channels.size(), 1u);
    // 600 bytes at 128 kbit/s are under 40 ms; the frames around them may be lost.
    EXPECT_GT(frameCount(channels), 2 * 44100 - 44100 / 10);
    const Channel& samples = *channels[0];
    double tailEnergy = 0.0;
    for (std::size_t i = samples.size() * 3 / 4; i < samples.size() * 7 / 8; ++i) {
        tailEnergy += double(samples[i]) * samples[i];
    }
    EXPECT_GT(tailEnergy, 0.0) << "the audio after the damage is lost";
}

// Two 2 s recordings of PCM in MPEG-TS joined end to end, the second stamped to start
// `secondAt` s after the first (each also starts 1.4 s in, the muxer's delay).
std::filesystem::path joinedTs(const std::string& name, const std::string& secondAt) {
    auto& files = TestFiles::shared();
    const std::string part = tone(kSine + "|" + kSine, 48000) + " -c:a s302m -strict -2";
    auto bytes = test::readBytes(files.make("part_48000.ts", part));
    const auto second = test::readBytes(
        files.make("part_48000_at_" + secondAt + ".ts", part + " -output_ts_offset " + secondAt));
    bytes.insert(bytes.end(), second.begin(), second.end());
    const auto path = files.folder() / name;
    test::writeBytes(path, bytes);
    return path;
}

struct TimelineCase {
    std::filesystem::path file;
    double seconds;          // the decoded length
    double gapAt, gapLength; // the one hole filled (length 0: none)
    double startSeconds;     // when the first sample plays in the file
};

// The first sample at or after `from` whose magnitude reaches the tone's first step.
std::int64_t firstSound(const Channel& samples, std::int64_t from) {
    const auto sound = std::find_if(samples.begin() + from, samples.end(),
                                    [](float sample) { return std::fabs(sample) > 0.01f; });
    return sound - samples.begin();
}

// Within 20 ms: the audio after a hole must land where its timestamps put it. The joins
// themselves are exact to the sample (PCM, 1,024-sample packets, 90 kHz timestamps).
constexpr double kSyncSeconds = 0.020;

// The decoder follows the stream's timestamps: a hole becomes silence of its length, an
// overlap is dropped, a reset is no hole, jitter inserts nothing and a late start is no hole.
TEST(AudioDecoder, FramesArePlacedWhereTheirTimestampsSay) {
    auto& files = TestFiles::shared();
    // Matroska's millisecond timestamps, every other packet's 4 ms early, the others 4 ms late.
    const std::string jitter = " -af \"asetpts=PTS+if(mod(N/1024\\,2)\\,0.004\\,-0.004)/TB\"";
    const TimelineCase cases[] = {
        // The second part 1 s after the first ends; 0.1 s before it (its first 0.1 s are
        // dropped); timestamps starting over (the second part follows the first).
        {joinedTs("hole.ts", "3"), 5.0, 2.0, 1.0, 1.4},
        {joinedTs("overlap.ts", "1.9"), 3.9, 0, 0, 1.4},
        {joinedTs("reset.ts", "0"), 4.0, 0, 0, 1.4},
        {files.make("jitter_48000.mkv", tone(kSine, 48000) + jitter + " -c:a pcm_s16le"), 2.0, 0, 0,
         0.0},
        // Sound from 1.5 s in a video that starts at 0.
        {files.make("late_48000.mkv", "-f lavfi -i testsrc=s=64x48:r=10:d=4 -itsoffset 1.5 " +
                                          tone(kSine, 48000) + " -c:v mpeg4 -c:a pcm_s16le"),
         2.0, 0, 0, 1.5},
    };
    for (const TimelineCase& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        const AudioDecoder::Decoded decoded = AudioDecoder::decodeFile(c.file);
        const int rate = decoded.format.sampleRate;
        ASSERT_EQ(rate, 48000);
        const Channel& samples = *decoded.channels.front();
        EXPECT_NEAR(double(samples.size()) / rate, c.seconds, 0.001);
        EXPECT_NEAR(decoded.startSeconds, c.startSeconds, 0.001);
        if (c.gapLength == 0) {
            EXPECT_TRUE(decoded.gaps.empty());
            continue;
        }
        ASSERT_EQ(decoded.gaps.size(), 1u);
        const AudioDecoder::Gap gap = decoded.gaps.front();
        EXPECT_NEAR(double(gap.frame) / rate, c.gapAt, kSyncSeconds);
        EXPECT_NEAR(double(gap.frames) / rate, c.gapLength, kSyncSeconds);
        // Silent through the hole, and the sound after it where it belongs.
        const std::int64_t resumes = firstSound(samples, gap.frame + 1);
        EXPECT_GE(resumes, gap.frame + gap.frames);
        EXPECT_NEAR(double(resumes) / rate, c.gapAt + c.gapLength, kSyncSeconds);
    }
}

TEST(AudioDecoder, GapsAreDescribedWithTheirLengthAndPlace) {
    const struct {
        AudioDecoder::Gap gap;
        int rate;
        const char* text;
    } cases[] = {
        {{92 * 48000, 43200}, 48000, "0.9 s of the sound was missing at 1:32 and is silent"},
        {{441, 1764}, 44100, "40 ms of the sound was missing at 0:00 and is silent"},
        {{(3600 + 2 * 60 + 3) * 8000, 20000},
         8000,
         "2.5 s of the sound was missing at 1:02:03 and is silent"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AudioDecoder::describeGap(c.gap, c.rate), c.text);
    }
    // A file's gaps in one line.
    EXPECT_EQ(AudioDecoder::describeGaps({}, 48000), "");
    EXPECT_EQ(AudioDecoder::describeGaps({cases[0].gap}, 48000),
              "0.9 s of the sound was missing at 1:32 and is silent.");
    EXPECT_EQ(AudioDecoder::describeGaps({{41 * 48000, 4800}, {50 * 48000, 9600}}, 48000),
              "2 stretches of the sound, 0.3 s in all, were missing from 0:41 on and are silent.");
}

// Standard input, a pipe or a socket, is read whole and decoded as a file would be; one that
// never ends is refused once it fills the memory given.
TEST(AudioDecoder, StandardInputIsReadWholeWithinTheMemoryBound) {
    const auto path = TestFiles::shared().make("stereo_48000_s24.wav",
                                               tone("0|" + kSine, 48000) + " -c:a pcm_s24le");
    const auto wav = test::readBytes(path);
    const AudioDecoder::Decoded fromFile = AudioDecoder::decodeFile(path);
    for (const bool endless : {false, true}) {
        SCOPED_TRACE(endless ? "endless" : "whole file");
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        const int savedInput = dup(STDIN_FILENO);
        ASSERT_EQ(dup2(ends[0], STDIN_FILENO), STDIN_FILENO);
        close(ends[0]);
        std::thread writer([&, out = ends[1]] {
            do {
                for (std::size_t at = 0; at < wav.size();) {
                    const ssize_t sent = send(out, wav.data() + at, wav.size() - at, MSG_NOSIGNAL);
                    if (sent <= 0) {
                        close(out);
                        return;
                    }
                    at += static_cast<std::size_t>(sent);
                }
            } while (endless);
            close(out);
        });
        AudioDecoder::DecodeOptions options;
        options.memoryAvailable = endless ? 4000000 : -1;
        try {
            const AudioDecoder::Decoded decoded = AudioDecoder::decodeStandardInput(options);
            EXPECT_FALSE(endless);
            EXPECT_EQ(decoded.format, fromFile.format);
            ASSERT_EQ(decoded.channels.size(), 2u);
            EXPECT_EQ(*decoded.channels[1], *fromFile.channels[1]);
        } catch (const std::exception& error) {
            EXPECT_TRUE(endless);
            EXPECT_STREQ(error.what(), "standard input is too long: it would need more than the "
                                       "4.0 MB of memory available.");
        }
        // Closing the reading end stops an endless writer.
        dup2(savedInput, STDIN_FILENO);
        close(savedInput);
        writer.join();
    }
}

// Two MP3 streams joined end to end, mono at 22,050 Hz then stereo at 48,000 Hz: the
// converter must follow the change to the first part's rate and layout, or the second part
// comes out at the wrong speed.
TEST(AudioDecoder, StreamThatChangesRateAndLayoutMidwayKeepsItsDuration) {
    auto& files = TestFiles::shared();
    const std::string plain = " -c:a libmp3lame -write_xing 0 -id3v2_version 0";
    auto joined = test::readBytes(files.make("mono_22050_plain.mp3", tone(kSine, 22050) + plain));
    const auto second = test::readBytes(
        files.make("stereo_48000_plain.mp3", tone(kSine + "|" + kSine, 48000) + plain));
    joined.insert(joined.end(), second.begin(), second.end());
    const auto folder = files.freshFolder("joined");
    test::writeBytes(folder / "joined.mp3", joined);

    const AudioDecoder::Decoded decoded = AudioDecoder::decodeFile(folder / "joined.mp3");
    const Channels& channels = decoded.channels;

    EXPECT_EQ(decoded.format.sampleRate, 22050);
    ASSERT_EQ(channels.size(), 1u);
    // Each part is 2 s; without gapless data each keeps its encoder delay and padding
    // (about 1,000 frames per part at 22,050 Hz).
    EXPECT_NEAR(double(frameCount(channels)), 4.0 * 22050.0, 3000.0);
    EXPECT_TRUE(decoded.gaps.empty());
    const Channel& samples = *channels[0];
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    // Within 10 %: MP3 at the encoder's default rate for each part. The stereo part is
    // downmixed to mono as (L + R) / sqrt(2), so its identical sides add up to sqrt(2)
    // times the tone.
    EXPECT_NEAR(middleRms(Channel(samples.begin(), middle)), kSineRms, 0.1 * kSineRms);
    EXPECT_NEAR(middleRms(Channel(middle, samples.end())), kSineRms * std::sqrt(2.0),
                0.1 * kSineRms * std::sqrt(2.0));
}

// Builds a mono 44,100 Hz 32-bit float WAV by hand: ffmpeg will not write NaN on request.
std::vector<std::uint8_t> floatWav(const std::vector<float>& samples) {
    std::vector<std::uint8_t> bytes;
    auto put32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    };
    auto put16 = [&](std::uint16_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto putId = [&](const char* id) { bytes.insert(bytes.end(), id, id + 4); };
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 4);
    putId("RIFF");
    put32(36 + dataBytes);
    putId("WAVE");
    putId("fmt ");
    put32(16);
    put16(3); // IEEE float
    put16(1);
    put32(44100);
    put32(44100 * 4);
    put16(4);
    put16(32);
    putId("data");
    put32(dataBytes);
    for (float sample : samples) {
        std::uint32_t bits;
        std::memcpy(&bits, &sample, 4);
        put32(bits);
    }
    return bytes;
}

TEST(AudioDecoder, NonFiniteSamplesBecomeZeroAndTheRestIsExact) {
    std::vector<float> samples(4096);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.25f * std::sin(0.01f * float(i));
    }
    samples[100] = std::numeric_limits<float>::quiet_NaN();
    samples[200] = std::numeric_limits<float>::infinity();
    samples[300] = -std::numeric_limits<float>::infinity();
    // A corrupt sample in the millions is clipped at +24 dBFS, not kept as full-scale noise.
    samples[400] = 3.0e6f;
    samples[500] = -17.0f;
    const auto folder = TestFiles::shared().freshFolder("nonfinite");
    test::writeBytes(folder / "nan.wav", floatWav(samples));

    const Channels channels = AudioDecoder::decode(folder / "nan.wav");

    ASSERT_EQ(channels.size(), 1u);
    ASSERT_EQ(channels[0]->size(), samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const float expected =
            std::isfinite(samples[i]) ? std::clamp(samples[i], -16.0f, 16.0f) : 0.0f;
        ASSERT_EQ((*channels[0])[i], expected) << "sample " << i;
    }
}

} // namespace
} // namespace taln
