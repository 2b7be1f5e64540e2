// VideoExporter: the round trip of a video through Taln, checked with FFmpeg's own tools.

#include "audio/audio_decoder.h"
#include "audio/video_exporter.h"
#include "tests/audio/media_probe.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>

namespace taln {
namespace {

using test::TestFiles;

constexpr const char* kPicture = "-f lavfi -i testsrc2=s=160x120:r=25:d=2.5 ";

// H.264 where this FFmpeg has libx264, MPEG-4 Part 2 otherwise; small frames keep it fast.
std::string videoCodec() {
    static const bool x264 =
        test::runShell("ffmpeg -hide_banner -encoders 2>/dev/null | grep -q libx264") == 0;
    return x264 ? "-c:v libx264 -preset ultrafast -pix_fmt yuv420p " : "-c:v mpeg4 ";
}

// Two chirps (200 to 2,200 Hz and 900 to 150 Hz over 2.5 s): no period, so the sound lines up
// with itself at one lag only, and tonal, so AAC keeps it closely.
std::string chirps(int rate, bool stereo) {
    const std::string left = "0.3*sin(2*PI*(200*t+400*t*t))";
    const std::string right = "0.2*sin(2*PI*(900*t-150*t*t))";
    return "-f lavfi -i \"aevalsrc=" + left + (stereo ? "|" + right : "") +
           ":s=" + std::to_string(rate) + ":d=2.5\" ";
}

std::filesystem::path rotatedMp4() {
    auto& files = TestFiles::shared();
    const auto plain =
        files.make("plain_h264_aac48_stereo.mp4", kPicture + chirps(48000, true) + videoCodec() +
                                                      "-metadata:s:a:0 language=eng -c:a aac");
    return files.make("rotated_h264_aac48_stereo.mp4", "-i " + test::shellQuote(plain.string()) +
                                                           " -c copy -metadata:s:v:0 rotate=90");
}

std::filesystem::path monoMov() {
    return TestFiles::shared().make("h264_aac44_mono.mov",
                                    kPicture + chirps(44100, false) + videoCodec() + "-c:a aac");
}

std::filesystem::path fullMkv() {
    auto& files = TestFiles::shared();
    const auto subtitles = files.folder() / "two_lines.srt";
    const std::string lines = "1\n00:00:00,500 --> 00:00:01,500\nHello\n\n"
                              "2\n00:00:01,600 --> 00:00:02,200\nagain\n";
    test::writeBytes(subtitles, std::vector<std::uint8_t>(lines.begin(), lines.end()));
    const auto chapters = files.folder() / "two_chapters.txt";
    const std::string text = ";FFMETADATA1\ntitle=Fixture\n"
                             "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1200\ntitle=First\n"
                             "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1200\nEND=2500\ntitle=Second\n";
    test::writeBytes(chapters, std::vector<std::uint8_t>(text.begin(), text.end()));
    return files.make(
        "h264_aac_ac3_srt_attachment_chapters.mkv",
        kPicture + chirps(48000, true) + chirps(48000, true) + "-i " +
            test::shellQuote(subtitles.string()) + " -i " + test::shellQuote(chapters.string()) +
            " -map 0 -map 1 -map 2 -map 3 -map_metadata 4 -map_chapters 4"
            " -metadata:s:a:0 language=eng -metadata:s:a:1 language=fra"
            " -metadata:s:s:0 language=deu -attach " +
            test::shellQuote(subtitles.string()) + " -metadata:s:t mimetype=text/plain " +
            videoCodec() + "-c:a:0 aac -c:a:1 ac3 -c:s srt");
}

std::filesystem::path webm() {
    return TestFiles::shared().make(
        "vp9_opus.webm", kPicture + chirps(48000, true) +
                             "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus");
}

std::filesystem::path lateAudioMp4() {
    return TestFiles::shared().make("h264_aac48_audio_half_second_late.mp4",
                                    std::string(kPicture) + "-itsoffset 0.5 " +
                                        chirps(48000, true) + videoCodec() + "-c:a aac");
}

struct RoundTripCase {
    const char* name;
    std::filesystem::path (*source)();
    const char* extension;
};

// Every fixture has its video first and the audio to replace second.
constexpr int kFirstAudio = 1;

// A file's first audio stream as ffmpeg decodes it, at its own rate, with its layout.
struct Sound {
    Channels channels;
    AudioFormat format;
};

Sound soundOf(const std::filesystem::path& path, int stream = 0) {
    const std::string quoted = test::shellQuote(path.string());
    const std::string selector = "a:" + std::to_string(stream);
    std::istringstream probed(test::capture("ffprobe -v error -select_streams " + selector +
                                            " -show_entries stream=sample_rate,channels -of "
                                            "default=nw=1:nk=1 " +
                                            quoted));
    Sound sound;
    int count = 0;
    probed >> sound.format.sampleRate >> count;
    sound.format.depth = SampleDepth::lossy;
    const std::string bytes = test::capture("ffmpeg -nostdin -v error -i " + quoted +
                                            " -map 0:" + selector + " -f f32le -");
    const std::size_t frames = bytes.size() / sizeof(float) / static_cast<std::size_t>(count);
    for (int c = 0; c < count; ++c) {
        Channel channel(frames);
        for (std::size_t i = 0; i < frames; ++i) {
            std::memcpy(&channel[i], bytes.data() + (i * count + c) * sizeof(float), sizeof(float));
        }
        sound.channels.push_back(std::make_shared<const Channel>(std::move(channel)));
    }
    return sound;
}

class VideoRoundTrip : public testing::TestWithParam<RoundTripCase> {};

// Everything but the first audio stream comes through bit for bit and in order; the new
// sound keeps the source's rate, channels and place in time, and is the channels written.
TEST_P(VideoRoundTrip, KeepsEveryOtherStreamAndPutsTheSoundInPlace) {
    const RoundTripCase& c = GetParam();
    const auto source = c.source();
    const auto output = TestFiles::shared().freshFolder(std::string("video_") + c.name) /
                        (std::string("out.") + c.extension);
    const AudioDecoder::Decoded decoded = AudioDecoder::decodeFile(source);
    const Channels& original = decoded.channels;
    const double rate = decoded.format.sampleRate;

    VideoExporter::write(ChunkedAudio::fromChannels(original), decoded.format, source, output);

    const std::string entries =
        "stream=index,codec_type,codec_name,sample_rate,channels,width,"
        "height:stream_tags=language,filename,mimetype:stream_disposition=default:"
        "stream_side_data_list=rotation";
    EXPECT_EQ(test::probeStreams(output, entries), test::probeStreams(source, entries));
    EXPECT_EQ(test::packetChecksumsWithout(output, kFirstAudio),
              test::packetChecksumsWithout(source, kFirstAudio));

    const double sourceStart = test::startSeconds(source, kFirstAudio);
    const double outputStart = test::startSeconds(output, kFirstAudio);
    EXPECT_NEAR(outputStart, sourceStart, 0.010);

    const Channels written = AudioDecoder::decode(output);
    ASSERT_EQ(written.size(), original.size());
    // Within one encoder frame: 1,024 samples of AAC or 960 of Opus.
    EXPECT_NEAR(double(frameCount(written)), double(frameCount(original)), 1024.0);
    // Where the same sound sits on both timelines: lags within 1 ms of the start times' gap.
    const test::Alignment aligned =
        test::bestAlignment(written, original, static_cast<std::int64_t>(rate / 50));
    EXPECT_GE(aligned.correlation, 0.98);
    EXPECT_NEAR(double(aligned.lag), (outputStart - sourceStart) * rate, rate / 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, VideoRoundTrip,
    testing::Values(RoundTripCase{"mp4", rotatedMp4, "mp4"}, RoundTripCase{"mov", monoMov, "mov"},
                    RoundTripCase{"mkv", fullMkv, "mkv"}, RoundTripCase{"webm", webm, "webm"},
                    RoundTripCase{"late_mp4", lateAudioMp4, "mp4"}),
    [](const testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

// A 5.1 screencast: channel c a tone of its own at 0.05 · (c + 1), the LFE's at 60 Hz.
std::filesystem::path surroundMp4() {
    std::string channels;
    for (int c = 0; c < 6; ++c) {
        const int hertz = c == 3 ? 60 : 300 + 100 * c;
        if (c > 0) {
            channels += '|';
        }
        channels += std::to_string(0.05 * (c + 1));
        channels += "*sin(2*PI*" + std::to_string(hertz) + "*t)";
    }
    return TestFiles::shared().make(
        "h264_aac48_5.1.mp4", std::string(kPicture) + "-f lavfi -i \"aevalsrc=" + channels +
                                  ":s=48000:c=5.1:d=2.5\" " + videoCodec() + "-c:a aac -b:a 384k");
}

std::string packetChecksums(const std::filesystem::path& path, const std::string& stream) {
    return test::capture("ffmpeg -nostdin -v error -i " + test::shellQuote(path.string()) +
                         " -map 0:" + stream + " -c copy -f framemd5 -");
}

double rms(const Channel& x) {
    double sum = 0.0;
    for (std::size_t i = x.size() / 4; i < 3 * x.size() / 4; ++i) {
        sum += double(x[i]) * x[i];
    }
    return std::sqrt(sum / double(x.size() / 2));
}

// A 5.1 video comes back 5.1, every channel at its own level, the cleaned sound first and
// the default; the original, kept beside it, is the source's packets byte for byte.
TEST(VideoExporter, SurroundStaysSurroundAndTheOriginalIsKeptBeside) {
    const auto source = surroundMp4();
    const auto output = TestFiles::shared().freshFolder("video_surround") / "out.mp4";
    const Sound original = soundOf(source);
    ASSERT_EQ(original.channels.size(), 6u);
    VideoExporter::write(ChunkedAudio::fromChannels(original.channels),
                         {48000, 0, SampleDepth::lossy}, source, output, {true, {}});

    EXPECT_EQ(test::capture("ffprobe -v error -select_streams a -show_entries "
                            "stream=index,channel_layout:stream_tags=handler_name:stream_"
                            "disposition=default -of csv=p=0 " +
                            test::shellQuote(output.string())),
              "1,5.1,1,SoundHandler\n2,5.1,0,Original\n");
    EXPECT_EQ(packetChecksums(output, "a:1"), packetChecksums(source, "a:0"));
    const Sound cleaned = soundOf(output);
    ASSERT_EQ(cleaned.channels.size(), 6u);
    for (std::size_t c = 0; c < 6; ++c) {
        // AAC at 64 kbit/s a channel keeps a steady tone's level within a tenth of a dB; a
        // channel left silent or folded into another would be off by 6 dB or more.
        EXPECT_NEAR(20.0 * std::log10(rms(*cleaned.channels[c]) / rms(*original.channels[c])), 0.0,
                    0.5)
            << "channel " << c;
    }
}

std::filesystem::path coveredM4a() {
    return TestFiles::shared().make(
        "with_cover_aac.m4a", "-f lavfi -i testsrc2=s=64x64:d=0.04 " + chirps(44100, false) +
                                  "-map 0 -map 1 -c:v mjpeg -disposition:v attached_pic -c:a aac");
}

std::filesystem::path subtitlesFile() {
    const auto path = TestFiles::shared().folder() / "one_line.srt";
    const std::string line = "1\n00:00:00,500 --> 00:00:01,500\nHello\n";
    test::writeBytes(path, std::vector<std::uint8_t>(line.begin(), line.end()));
    return path;
}

std::filesystem::path attachmentMkv() {
    const std::string text = test::shellQuote(subtitlesFile().string());
    return TestFiles::shared().make("h264_aac_attachment.mkv",
                                    kPicture + chirps(48000, true) + videoCodec() +
                                        "-c:a aac -attach " + text +
                                        " -metadata:s:t mimetype=text/plain");
}

std::filesystem::path movTextMp4() {
    return TestFiles::shared().make(
        "h264_aac_mov_text.mp4",
        kPicture + chirps(48000, true) + "-i " + test::shellQuote(subtitlesFile().string()) +
            " -map 0 -map 1 -map 2 " + videoCodec() + "-c:a aac -c:s mov_text");
}

// What the destination cannot be made of is refused before anything is written, saying why: a
// source without video, and a stream the destination's container cannot hold, named with the
// source's own container, which holds it.
TEST(VideoExporter, WhatCannotBeWrittenIsRefusedAndNothingWritten) {
    ASSERT_FALSE(VideoExporter::hasVideo(coveredM4a()));
    EXPECT_TRUE(VideoExporter::hasVideo(monoMov()));
    const std::string h264 = videoCodec().find("libx264") != std::string::npos ? "h264" : "mpeg4";
    struct Case {
        std::filesystem::path source;
        const char* extension;
        std::string message;
    };
    const Case cases[] = {
        {coveredM4a(), "mp4", "with_cover_aac.m4a has no video; write .m4a or .wav"},
        {rotatedMp4(), "webm",
         "out.webm: WebM cannot hold the " + h264 +
             " video of rotated_h264_aac48_stereo.mp4; write .mp4 (MP4), the source's own "
             "container"},
        {fullMkv(), "mp4",
         "out.mp4: MP4 cannot hold the subrip subtitles of "
         "h264_aac_ac3_srt_attachment_chapters.mkv; write .mkv (Matroska), the source's own "
         "container"},
        {attachmentMkv(), "mp4",
         "out.mp4: MP4 cannot hold an attachment of h264_aac_attachment.mkv; write .mkv "
         "(Matroska), the source's own container"},
        {movTextMp4(), "mkv",
         "out.mkv: Matroska cannot hold the mov_text subtitles of h264_aac_mov_text.mp4; write "
         ".mp4 (MP4), the source's own container"},
    };
    for (const Case& c : cases) {
        const auto folder = TestFiles::shared().freshFolder(std::string("video_refused_") +
                                                            c.source.stem().string());
        const AudioDecoder::Decoded decoded = AudioDecoder::decodeFile(c.source);
        try {
            VideoExporter::write(ChunkedAudio::fromChannels(decoded.channels), decoded.format,
                                 c.source, folder / (std::string("out.") + c.extension));
            ADD_FAILURE() << "no error for " << c.source;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), c.message);
        }
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << c.source;
    }
}

} // namespace
} // namespace taln
