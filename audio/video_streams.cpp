#include "audio/video_streams.h"

#include "audio/ffmpeg_input.h"
#include "audio/packet_reader.h"
#include "audio/text_case.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace taln::VideoStreams {
namespace {

// Stream metadata that describes the old encoding of the replaced audio, not the track.
bool describesOldEncoding(std::string_view key) {
    const std::string lower = lowercase(std::string(key));
    return lower == "encoder" || lower == "bps" || lower == "duration" ||
           lower == "number_of_frames" || lower == "number_of_bytes" ||
           lower.rfind("_statistics", 0) == 0 || lower.rfind("bps-", 0) == 0 ||
           lower.rfind("duration-", 0) == 0 || lower.rfind("number_of_", 0) == 0;
}

} // namespace

std::optional<Container> containerFor(const std::filesystem::path& path) {
    const std::string extension = lowercase(path.extension().string());
    if (extension == ".mp4" || extension == ".m4v") {
        return Container{"mp4", ChannelLayouts::Codec::aac, "MP4"};
    }
    if (extension == ".mov") {
        return Container{"mov", ChannelLayouts::Codec::aac, "QuickTime"};
    }
    if (extension == ".mkv") {
        return Container{"matroska", ChannelLayouts::Codec::aac, "Matroska"};
    }
    if (extension == ".webm") {
        return Container{"webm", ChannelLayouts::Codec::opus, "WebM"};
    }
    return std::nullopt;
}

bool isVideoStream(const AVStream& stream) {
    // Audio files carry their cover picture as a one-frame video stream.
    return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC);
}

std::int64_t sourceBitRate(const AVStream& stream) {
    if (stream.codecpar->bit_rate > 0) {
        return stream.codecpar->bit_rate;
    }
    const AVDictionaryEntry* bps = av_dict_get(stream.metadata, "BPS", nullptr, 0);
    if (!bps) {
        bps = av_dict_get(stream.metadata, "BPS-eng", nullptr, 0);
    }
    return bps ? std::max<std::int64_t>(0, std::strtoll(bps->value, nullptr, 10)) : 0;
}

void copyStreamProperties(const AVStream& in, AVStream& out, bool replaced) {
    out.disposition = in.disposition;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(in.metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        if (!replaced || !describesOldEncoding(entry->key)) {
            av_dict_set(&out.metadata, entry->key, entry->value, 0);
        }
    }
    if (replaced) {
        return;
    }
    out.time_base = in.time_base;
    out.avg_frame_rate = in.avg_frame_rate;
    out.r_frame_rate = in.r_frame_rate;
    out.sample_aspect_ratio = in.sample_aspect_ratio;
    for (int i = 0; i < in.nb_side_data; ++i) {
        const AVPacketSideData& side = in.side_data[i];
        std::uint8_t* data = av_stream_new_side_data(&out, side.type, side.size);
        if (!data) {
            throw std::bad_alloc();
        }
        std::memcpy(data, side.data, side.size);
    }
}

void copyChapters(const AVFormatContext& in, AVFormatContext& out) {
    if (in.nb_chapters == 0) {
        return;
    }
    auto* table = static_cast<AVChapter**>(
        av_realloc_array(out.chapters, out.nb_chapters + in.nb_chapters, sizeof(AVChapter*)));
    if (!table) {
        throw std::bad_alloc();
    }
    out.chapters = table;
    for (unsigned i = 0; i < in.nb_chapters; ++i) {
        const AVChapter& source = *in.chapters[i];
        auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!chapter) {
            throw std::bad_alloc();
        }
        chapter->id = source.id;
        chapter->time_base = source.time_base;
        chapter->start = source.start;
        chapter->end = source.end;
        av_dict_copy(&chapter->metadata, source.metadata, 0);
        out.chapters[out.nb_chapters++] = chapter; // freed with the output context
    }
}

std::int64_t firstSampleTime(const std::filesystem::path& path, int index) {
    const FfmpegInput opened(path);
    AVFormatContext* input = opened.format();
    const AVStream& stream = *input->streams[index];
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (static_cast<int>(i) != index) {
            input->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    std::int64_t first = AV_NOPTS_VALUE;
    try {
        const CodecContextPtr decoder = PacketReader::openDecoder(stream, path);
        int damaged = 0; // skipped, as Taln's decoder skips it
        PacketReader::readAndDecode(
            path, input, index, decoder.get(), damaged, [] { return false; },
            [&](FramePtr& frame) {
                if (frame->nb_samples > 0 && frame->best_effort_timestamp != AV_NOPTS_VALUE) {
                    first = frame->best_effort_timestamp;
                    return false;
                }
                av_frame_unref(frame.get());
                return true;
            });
    } catch (const FileError&) {
        // What cannot be decoded has no first sample to go by; the header's start stands.
    }
    return first != AV_NOPTS_VALUE ? first : stream.start_time;
}

bool holds(const AVOutputFormat& format, const AVCodecParameters& parameters) {
    if (parameters.codec_type == AVMEDIA_TYPE_ATTACHMENT) {
        return std::string_view(format.name) == "matroska";
    }
    return avformat_query_codec(&format, parameters.codec_id, FF_COMPLIANCE_NORMAL) != 0;
}

std::string describeStream(const AVCodecParameters& parameters) {
    const char* kind = "data";
    switch (parameters.codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        kind = "video";
        break;
    case AVMEDIA_TYPE_AUDIO:
        kind = "audio";
        break;
    case AVMEDIA_TYPE_SUBTITLE:
        kind = "subtitles";
        break;
    case AVMEDIA_TYPE_ATTACHMENT:
        return "an attachment";
    default:
        break;
    }
    return std::string("the ") + avcodec_get_name(parameters.codec_id) + " " + kind;
}

void fitCodecTag(const AVOutputFormat& format, AVCodecParameters& parameters) {
    if (!format.codec_tag) {
        return;
    }
    unsigned int tag = 0;
    if (av_codec_get_id(format.codec_tag, parameters.codec_tag) == parameters.codec_id ||
        !av_codec_get_tag2(format.codec_tag, parameters.codec_id, &tag)) {
        return;
    }
    parameters.codec_tag = 0;
}

} // namespace taln::VideoStreams
