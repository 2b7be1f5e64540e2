// fuzz_video_exporter: a crafted source video through VideoExporter::write, as taln-clean
// writes a cleaned video: its audio decoded by AudioDecoder, then written back over its first
// audio stream while every other stream is copied.
//
// Input: one byte of options, then the source file (the seed corpus holds tiny MP4, MOV, MKV
// and WebM files with several audio tracks, subtitles, an attachment, chapters, a timecode
// track, audio that starts late, starts before 0 or has a hole). The options byte: bits 0-2
// the container (.mp4, .mov, .mkv, .webm, .m4v) of the source's name and of the destination;
// bit 3 keepOriginalAudio; bit 4 a loudness target, bits 5-6 which; bit 7 a destination of
// the next container instead of the source's own. A source whose audio does not decode still
// goes through the stream copy, with half a second of a tone as its new sound. Only small
// sources are taken (kMaxInput) and the decoded audio is bounded (kMemory), so that every
// input is over in a fraction of a second.
//
// Checks:
// - the write completes or throws TalnError, std::runtime_error, or std::invalid_argument (no
//   other failure: a cancel nobody asked for, a CeilingPassed let out, std::bad_alloc);
// - after a failure the folder holds the source alone, after a success the source and the
//   destination (no temporary file left behind);
// - a written video opens; it holds a video stream, and as many audio streams as the source
//   had of a codec FFmpeg knows, one more with keepOriginalAudio (streams without packets may
//   be left out: MP4 and QuickTime write no track for them); its first audio stream decodes, with
//   no hole, to the channels and rate the write reports, and to the length of the audio given
//   within three encoder frames (the priming dropped at the start, a partial frame at the end;
//   audio no longer than that may leave no frame at all);
// - a normalised write reports on its target, an unnormalised one reports nothing.

#include "audio/audio_decoder.h"
#include "audio/ffmpeg_input.h"
#include "audio/taln_error.h"
#include "audio/video_exporter.h"
#include "fuzz/fuzz_temp_dir.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::array<const char*, 5> kContainers = {".mp4", ".mov", ".mkv", ".webm", ".m4v"};
constexpr std::array<double, 4> kTargets = {-16.0, -23.0, -9.0, -70.0};

// A small video only: its packets are copied and its audio encoded at native speed.
constexpr std::size_t kMaxInput = 256 * 1024;
// The memory the decoder may count on: audio of up to 2 million samples (21 s of stereo at
// 48 kHz), the decoder holding three times the audio's 4 bytes a sample.
constexpr std::int64_t kMemory = 3 * 4 * 600'000;
// The new sound's length may differ from the audio given by the priming dropped (one frame)
// and the last partial frame; AAC's frame is 1,024 samples, Opus's 960.
constexpr std::int64_t kLengthSlack = 3 * 1024;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz_video_exporter: %s\n", what);
    std::abort();
}

// Half a second of a 440 Hz tone, stereo at 48 kHz: the new sound for a source whose own
// audio does not decode.
taln::AudioDecoder::Decoded tone() {
    constexpr int kRate = 48000;
    std::vector<float> samples(kRate / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.25f * static_cast<float>(
                                 std::sin(2.0 * std::numbers::pi * 440.0 * double(i) / kRate));
    }
    taln::AudioDecoder::Decoded result;
    const auto channel = std::make_shared<const taln::Channel>(std::move(samples));
    result.channels = {channel, channel};
    result.format = {kRate, 0, taln::SampleDepth::lossy};
    return result;
}

int audioStreams(const std::filesystem::path& path) {
    const taln::FfmpegInput opened(path);
    int count = 0;
    for (unsigned i = 0; i < opened.format()->nb_streams; ++i) {
        count += opened.format()->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    }
    return count;
}

// What of the source the exporter copies: its audio streams of a codec FFmpeg knows other
// than the first, which it replaces (how many in all, and how many hold a packet); whether the
// first holds one; whether a video stream of a known codec holds one.
struct SourceStreams {
    int others = 0;
    int othersWithPackets = 0;
    bool firstHasPackets = false;
    bool videoWithPackets = false;
};

SourceStreams sourceStreams(const std::filesystem::path& path) {
    const taln::FfmpegInput opened(path);
    AVFormatContext* input = opened.format();
    const unsigned streams = input->nb_streams;
    std::vector<bool> hasPackets(streams, false);
    AVPacket* packet = av_packet_alloc();
    if (!packet) {
        fail("cannot allocate a packet");
    }
    while (av_read_frame(input, packet) >= 0) {
        if (static_cast<unsigned>(packet->stream_index) < streams) {
            hasPackets[static_cast<std::size_t>(packet->stream_index)] = true;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    SourceStreams result;
    bool first = true;
    for (unsigned i = 0; i < streams; ++i) {
        const AVCodecParameters& codec = *input->streams[i]->codecpar;
        if (codec.codec_type == AVMEDIA_TYPE_VIDEO && codec.codec_id != AV_CODEC_ID_NONE &&
            !(input->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            result.videoWithPackets = result.videoWithPackets || hasPackets[i];
        }
        if (codec.codec_type != AVMEDIA_TYPE_AUDIO) {
            continue;
        }
        if (first) {
            result.firstHasPackets = hasPackets[i];
            first = false;
        } else if (codec.codec_id != AV_CODEC_ID_NONE) {
            ++result.others;
            result.othersWithPackets += hasPackets[i];
        }
    }
    return result;
}

bool folderHoldsOnly(const std::filesystem::path& a, const std::filesystem::path& b) {
    for (const auto& entry : std::filesystem::directory_iterator(taln::FuzzTempDir::path())) {
        if (entry.path() != a && entry.path() != b) {
            return false;
        }
    }
    return true;
}

void checkWritten(const taln::AudioExporter::Written& written, std::int64_t frames, int rate,
                  const std::filesystem::path& source, const std::filesystem::path& destination,
                  const taln::VideoExporter::Options& options) {
    if (!std::filesystem::exists(destination)) {
        fail("a successful write left no file");
    }
    if (options.loudness.has_value() != written.loudness.has_value() ||
        (written.loudness && written.loudness->target != *options.loudness)) {
        fail("the loudness report does not answer the target asked for");
    }
    int audio = 0;
    try {
        audio = audioStreams(destination);
    } catch (const std::exception&) {
        fail("the video written does not open");
    }
    // MP4 and QuickTime leave out a track without packets; Matroska keeps it.
    const SourceStreams copied = sourceStreams(source);
    if (copied.videoWithPackets && !taln::VideoExporter::hasVideo(destination)) {
        fail("the video written has no video");
    }
    const int keep = options.keepOriginalAudio ? 1 : 0;
    if (audio < 1 + copied.othersWithPackets + (copied.firstHasPackets ? keep : 0) ||
        audio > 1 + copied.others + keep) {
        fail("the video written has another number of audio streams");
    }
    const int writtenRate = written.format.sampleRate;
    const auto expected = static_cast<std::int64_t>(
        std::llround(double(frames) * double(writtenRate) / double(rate)));
    taln::AudioDecoder::DecodeOptions decoding;
    decoding.memoryAvailable = 4 * kMemory;
    taln::AudioDecoder::Decoded back;
    try {
        back = taln::AudioDecoder::decodeFile(destination, decoding);
    } catch (const taln::TalnError&) {
        // Audio no longer than the priming dropped at the start leaves the track empty.
        if (expected > kLengthSlack) {
            fail("the new sound does not decode");
        }
        return;
    }
    const int count = std::popcount(written.format.channelMask);
    if (static_cast<int>(back.channels.size()) != count) {
        fail("the new sound decodes to another number of channels");
    }
    if (writtenRate < 8000) {
        return; // the decoder resamples it
    }
    if (back.format.sampleRate != writtenRate) {
        fail("the new sound decodes at another rate");
    }
    if (!back.gaps.empty()) {
        fail("the new sound decodes with a hole");
    }
    const std::int64_t length = taln::frameCount(back.channels);
    if (length < expected - kLengthSlack || length > expected + kLengthSlack) {
        std::fprintf(stderr, "%lld frames decoded, %lld given\n", static_cast<long long>(length),
                     static_cast<long long>(expected));
        fail("the new sound decodes to another length");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > kMaxInput) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    const std::size_t container = (flags & 7u) % kContainers.size();
    const std::string extension = kContainers[container];
    const std::string destinationExtension =
        (flags & 0x80u) ? kContainers[(container + 1) % kContainers.size()] : extension;
    taln::VideoExporter::Options options;
    options.keepOriginalAudio = (flags & 0x08u) != 0;
    if ((flags & 0x10u) != 0) {
        options.loudness = kTargets[(flags >> 5) & 3u];
    }

    const auto source = taln::FuzzTempDir::path() / ("input" + extension);
    const auto destination = taln::FuzzTempDir::path() / ("out" + destinationExtension);
    {
        std::ofstream file(source, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
        if (!file) {
            fail("cannot write the input file");
        }
    }

    taln::AudioDecoder::DecodeOptions decoding;
    decoding.memoryAvailable = kMemory;
    std::optional<taln::AudioDecoder::Decoded> decoded;
    try {
        decoded = taln::AudioDecoder::decodeFile(source, decoding);
    } catch (const taln::TalnError&) {
        decoded = tone();
    } catch (const std::runtime_error&) {
        decoded = tone();
    }

    std::optional<taln::AudioExporter::Written> written;
    try {
        written = taln::VideoExporter::write(taln::ChunkedAudio::fromChannels(decoded->channels),
                                             decoded->format, source, destination, options);
    } catch (const std::invalid_argument&) {
        // A source without video, or with a stream the destination's container cannot hold
        // (fuzzed sources often have one, in their own container too).
    } catch (const taln::TalnError&) {
    } catch (const std::runtime_error&) {
    }
    if (!folderHoldsOnly(source, written ? destination : source)) {
        fail("the folder holds a file it should not (a leftover or a missing export)");
    }
    if (written) {
        checkWritten(*written, taln::frameCount(decoded->channels), decoded->format.sampleRate,
                     source, destination, options);
    }
    taln::FuzzTempDir::clear();
    return 0;
}
