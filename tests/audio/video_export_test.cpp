// VideoExporter: the round trip of a video through Taln, checked with FFmpeg's own tools.

#include "audio/audio_decoder.h"
#include "audio/video_exporter.h"
#include "tests/audio/media_probe.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
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

    VideoExporter::write(original, rate, source, output);

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

TEST(VideoExporter, AudioWithoutVideoIsRefusedAndNothingWritten) {
    const auto source = TestFiles::shared().make(
        "with_cover_aac.m4a", "-f lavfi -i testsrc2=s=64x64:d=0.04 " + chirps(44100, false) +
                                  "-map 0 -map 1 -c:v mjpeg -disposition:v attached_pic -c:a aac");
    const auto folder = TestFiles::shared().freshFolder("video_no_picture");
    ASSERT_FALSE(VideoExporter::hasVideo(source));
    EXPECT_TRUE(VideoExporter::hasVideo(monoMov()));
    try {
        VideoExporter::write(AudioDecoder::decode(source), kSampleRate, source, folder / "x.mp4");
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "with_cover_aac.m4a has no video; write .m4a or .wav");
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

} // namespace
} // namespace taln
