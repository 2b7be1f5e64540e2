#include "audio/video_exporter.h"

#include "audio/audio_exporter.h"
#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_file_output.h"
#include "audio/ffmpeg_handles.h"
#include "audio/ffmpeg_input.h"
#include "audio/taln_error.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace taln::VideoExporter {
namespace {

// Frames of the channels handed to the resampler at a time (93 ms at 44,100 Hz): the audio
// is encoded in step with the copied packets, so the muxer's interleaving queue holds a
// fraction of a second, not the whole soundtrack.
constexpr std::int64_t kFeedFrames = 4096;

// The lowest bit rate the new audio gets, per channel: FFmpeg's AAC encoder at 96 kbit/s
// per channel is transparent for speech and keeps most music; a source that says it used
// more gets its own rate, so cleaning never costs quality in the encoding.
constexpr std::int64_t kMinBitRatePerChannel = 96000;

// AAC and Opus encoders go astray on samples in the millions; real audio stays far below
// +24 dBFS, where wild samples are clipped (as the M4A export does).
constexpr float kSampleLimit = 16.0f;

// At most as many channels as the encoders take.
constexpr std::size_t kMaxChannels = 8;

struct Container {
    const char* muxer;
    const char* encoder;
};

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

std::optional<Container> containerFor(const std::filesystem::path& path) {
    const std::string extension = lowercase(path.extension().string());
    if (extension == ".mp4" || extension == ".m4v") {
        return Container{"mp4", "aac"};
    }
    if (extension == ".mov") {
        return Container{"mov", "aac"};
    }
    if (extension == ".mkv") {
        return Container{"matroska", "aac"};
    }
    if (extension == ".webm") {
        return Container{"webm", "libopus"};
    }
    return std::nullopt;
}

struct OutputFormatFreer {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFreer>;

struct FifoFreer {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFreer>;

void check(int ret, const std::filesystem::path& path) {
    if (ret < 0) {
        throw ffmpegError(path, ret);
    }
}

bool isVideoStream(const AVStream& stream) {
    // Audio files carry their cover picture as a one-frame video stream.
    return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// The rate video players expect of sound, and the rate Opus always decodes to.
constexpr int kVideoRate = 48000;

// The source's rate when the encoder takes it, else 48 kHz (a Vorbis track at 22,050 Hz
// becomes Opus at 48 kHz: Opus's lower rates still decode at 48 kHz, and FFmpeg 5.1's
// Matroska muxer reads an Opus encoder's priming as counted at 48 kHz).
int encoderRate(const AVCodec& codec, int sourceRate) {
    if (!codec.supported_samplerates) {
        return sourceRate > 0 ? sourceRate : kVideoRate;
    }
    bool takes48k = false;
    for (const int* r = codec.supported_samplerates; *r != 0; ++r) {
        if (*r == sourceRate) {
            return sourceRate;
        }
        if (*r == kVideoRate) {
            takes48k = true;
        }
    }
    return takes48k ? kVideoRate : codec.supported_samplerates[0];
}

// The source's layout when the encoder takes it; else one the encoder takes with the same
// number of channels; else stereo.
AVChannelLayout encoderLayout(const AVCodec& codec, const AVChannelLayout& source,
                              int fallbackCount) {
    AVChannelLayout wanted{};
    const int count = source.nb_channels > 0 ? source.nb_channels : fallbackCount;
    if (source.order != AV_CHANNEL_ORDER_UNSPEC && source.nb_channels > 0) {
        av_channel_layout_copy(&wanted, &source);
    } else {
        av_channel_layout_default(&wanted, count);
    }
    if (!codec.ch_layouts) {
        return wanted;
    }
    const AVChannelLayout* sameCount = nullptr;
    for (const AVChannelLayout* l = codec.ch_layouts; l->nb_channels != 0; ++l) {
        if (av_channel_layout_compare(l, &wanted) == 0) {
            return wanted;
        }
        if (!sameCount && l->nb_channels == wanted.nb_channels) {
            sameCount = l;
        }
    }
    av_channel_layout_uninit(&wanted);
    AVChannelLayout chosen{};
    if (sameCount) {
        av_channel_layout_copy(&chosen, sameCount);
    } else {
        chosen = AV_CHANNEL_LAYOUT_STEREO;
    }
    return chosen;
}

AVSampleFormat encoderFormat(const AVCodec& codec) {
    if (!codec.sample_fmts) {
        return AV_SAMPLE_FMT_FLTP;
    }
    for (const AVSampleFormat preferred : {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT}) {
        for (const AVSampleFormat* f = codec.sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
            if (*f == preferred) {
                return preferred;
            }
        }
    }
    return codec.sample_fmts[0];
}

// The source stream's bit rate: the codec's, else the "BPS" statistics tag Matroska
// writers such as mkvmerge leave; 0 when neither says.
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

// Stream metadata that describes the old encoding of the replaced audio, not the track.
bool describesOldEncoding(std::string_view key) {
    const std::string lower = lowercase(std::string(key));
    return lower == "encoder" || lower == "bps" || lower == "duration" ||
           lower == "number_of_frames" || lower == "number_of_bytes" ||
           lower.rfind("_statistics", 0) == 0 || lower.rfind("bps-", 0) == 0 ||
           lower.rfind("duration-", 0) == 0 || lower.rfind("number_of_", 0) == 0;
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

// The new first audio stream: the channels resampled to the encoder's rate and layout,
// encoded and handed to the muxer in step with the copied packets.
class AudioTrack {
public:
    // `sourceStart`: when the source stream's first decoded sample plays, in its time base.
    AudioTrack(const Channels& channels, int inputRate, const AVStream& source,
               std::int64_t sourceStart, const char* encoderName, AVFormatContext& muxer,
               AVStream& stream, const std::filesystem::path& destination)
        : channels_(channels), muxer_(muxer), stream_(stream), path_(destination) {
        const AVCodec* codec = avcodec_find_encoder_by_name(encoderName);
        if (!codec) {
            throw ffmpegError(path_, AVERROR_ENCODER_NOT_FOUND);
        }
        encoder_.reset(avcodec_alloc_context3(codec));
        if (!encoder_) {
            throw std::bad_alloc();
        }
        const AVCodecParameters& in = *source.codecpar;
        rate_ = encoderRate(*codec, in.sample_rate);
        encoder_->sample_rate = rate_;
        encoder_->sample_fmt = encoderFormat(*codec);
        encoder_->ch_layout =
            encoderLayout(*codec, in.ch_layout, static_cast<int>(channels.size()));
        encoder_->bit_rate = std::max<std::int64_t>(
            sourceBitRate(source), kMinBitRatePerChannel * encoder_->ch_layout.nb_channels);
        encoder_->time_base = AVRational{1, rate_};
        if (muxer.oformat->flags & AVFMT_GLOBALHEADER) {
            encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        check(avcodec_open2(encoder_.get(), codec, nullptr), path_);
        check(avcodec_parameters_from_context(stream.codecpar, encoder_.get()), path_);
        stream.time_base = encoder_->time_base;
        copyStreamProperties(source, stream, true);
        frameSize_ = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;

        // Encoder input sample k plays at the source's start + k / rate. The encoder puts its
        // priming before the first sample, so its first packet starts initial_padding
        // samples early. An MP4 edit list tells players to skip the priming, but FFmpeg
        // writes one only for time before 0; Matroska marks no priming for AAC; and a muxer
        // that takes no time before 0 would shift every stream to make room, moving the
        // untouched video's timestamps. So unless the priming falls before 0 in an MP4, the
        // first samples are dropped (21 ms of AAC at 48 kHz) and the priming takes their
        // place: the first packet goes where the source's first sample played.
        const std::int64_t start =
            sourceStart == AV_NOPTS_VALUE
                ? 0
                : av_rescale_q(sourceStart, source.time_base, encoder_->time_base);
        // FFmpeg 5.1's Matroska muxer records an Opus encoder's priming as the track's codec
        // delay but writes the packets' times as given, and players present every packet that
        // much earlier: there the packets are written that much later.
        const std::string_view muxerName = muxer.oformat->name;
        if ((muxerName == "matroska" || muxerName == "webm") &&
            encoder_->codec_id == AV_CODEC_ID_OPUS) {
            packetShift_ = encoder_->initial_padding;
        }
        const std::int64_t primed = start - encoder_->initial_padding + packetShift_;
        if (!(primed < 0 && (muxer.oformat->flags & AVFMT_TS_NEGATIVE))) {
            toDrop_ = std::max<std::int64_t>(start, 0) - primed;
        }
        nextPts_ = start + toDrop_;

        AVChannelLayout inLayout{};
        av_channel_layout_default(&inLayout, static_cast<int>(channels.size()));
        SwrContext* raw = nullptr;
        int ret = swr_alloc_set_opts2(&raw, &encoder_->ch_layout, encoder_->sample_fmt, rate_,
                                      &inLayout, AV_SAMPLE_FMT_FLTP, inputRate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        resampler_.reset(raw);
        if (ret >= 0) {
            ret = swr_init(resampler_.get());
        }
        check(ret, path_);

        fifo_.reset(av_audio_fifo_alloc(encoder_->sample_fmt, encoder_->ch_layout.nb_channels,
                                        frameSize_ * 2));
        frame_.reset(av_frame_alloc());
        converted_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!fifo_ || !frame_ || !converted_ || !packet_) {
            throw std::bad_alloc();
        }
        for (auto& scratch : scratch_) {
            scratch.resize(static_cast<std::size_t>(kFeedFrames));
        }
    }

    // Encodes and writes the audio up to `seconds` on the source's timeline.
    void writeUntil(double seconds) {
        while (!inputDone_ && double(nextPts_) / rate_ < seconds) {
            feed();
        }
    }

    // Encodes and writes the rest, then empties the encoder.
    void finish() {
        while (!inputDone_) {
            feed();
        }
        const int left = av_audio_fifo_size(fifo_.get());
        if (left > 0) {
            const bool smallLast = encoder_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
            encodeFrame(left, smallLast ? left : frameSize_);
        }
        check(avcodec_send_frame(encoder_.get(), nullptr), path_);
        writePackets();
    }

private:
    // Resamples the next kFeedFrames of the channels (or drains the resampler after the
    // last ones) into the queue and encodes every whole frame in it.
    void feed() {
        const std::int64_t total = frameCount(channels_);
        const std::int64_t n = std::min(kFeedFrames, total - position_);
        const std::uint8_t* inputs[kMaxChannels] = {};
        for (std::size_t c = 0; c < channels_.size() && n > 0; ++c) {
            const float* source = channels_[c]->data() + position_;
            for (std::int64_t i = 0; i < n; ++i) {
                const float s = std::isfinite(source[i]) ? source[i] : 0.0f;
                scratch_[c][static_cast<std::size_t>(i)] =
                    std::clamp(s, -kSampleLimit, kSampleLimit);
            }
            inputs[c] = reinterpret_cast<const std::uint8_t*>(scratch_[c].data());
        }
        const int capacity = swr_get_out_samples(resampler_.get(), static_cast<int>(n));
        check(capacity, path_);
        if (capacity > converted_->nb_samples) {
            av_frame_unref(converted_.get());
            converted_->format = encoder_->sample_fmt;
            converted_->nb_samples = capacity;
            check(av_channel_layout_copy(&converted_->ch_layout, &encoder_->ch_layout), path_);
            check(av_frame_get_buffer(converted_.get(), 0), path_);
        }
        const int produced = swr_convert(resampler_.get(), converted_->extended_data, capacity,
                                         n > 0 ? inputs : nullptr, static_cast<int>(n));
        check(produced, path_);
        position_ += n;
        if (n == 0 && produced == 0) {
            inputDone_ = true;
        }
        check(av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted_->extended_data),
                                  produced),
              path_);
        const int dropped =
            static_cast<int>(std::min<std::int64_t>(toDrop_, av_audio_fifo_size(fifo_.get())));
        av_audio_fifo_drain(fifo_.get(), dropped);
        toDrop_ -= dropped;
        while (av_audio_fifo_size(fifo_.get()) >= frameSize_) {
            encodeFrame(frameSize_, frameSize_);
        }
    }

    // Sends the next `samples` queued samples as a frame of `size` (silence after them).
    void encodeFrame(int samples, int size) {
        if (frame_->nb_samples != size || !frame_->buf[0]) {
            av_frame_unref(frame_.get());
            frame_->format = encoder_->sample_fmt;
            frame_->sample_rate = rate_;
            frame_->nb_samples = size;
            check(av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout), path_);
            check(av_frame_get_buffer(frame_.get(), 0), path_);
        } else {
            check(av_frame_make_writable(frame_.get()), path_); // the encoder may hold it
        }
        av_samples_set_silence(frame_->extended_data, 0, size, encoder_->ch_layout.nb_channels,
                               encoder_->sample_fmt);
        av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->extended_data), samples);
        frame_->pts = nextPts_;
        nextPts_ += samples;
        check(avcodec_send_frame(encoder_.get(), frame_.get()), path_);
        writePackets();
    }

    void writePackets() {
        for (;;) {
            const int ret = avcodec_receive_packet(encoder_.get(), packet_.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
                return;
            }
            check(ret, path_);
            if (packet_->pts != AV_NOPTS_VALUE) {
                packet_->pts += packetShift_;
            }
            if (packet_->dts != AV_NOPTS_VALUE) {
                packet_->dts += packetShift_;
            }
            av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_.time_base);
            packet_->stream_index = stream_.index;
            check(av_interleaved_write_frame(&muxer_, packet_.get()), path_);
        }
    }

    const Channels& channels_;
    AVFormatContext& muxer_;
    AVStream& stream_;
    const std::filesystem::path& path_;
    CodecContextPtr encoder_;
    ResamplerPtr resampler_;
    FifoPtr fifo_;
    FramePtr frame_;     // the frame sent to the encoder
    FramePtr converted_; // the resampler's output before it is queued
    PacketPtr packet_;
    std::array<std::vector<float>, kMaxChannels> scratch_;
    int rate_ = 0;
    int frameSize_ = 0;
    std::int64_t position_ = 0;    // the next frame of the channels to resample
    std::int64_t nextPts_ = 0;     // the next encoder frame's timestamp, in samples
    std::int64_t toDrop_ = 0;      // resampled samples still to drop at the start
    std::int64_t packetShift_ = 0; // added to every packet's times, in samples
    bool inputDone_ = false;
};

// When the first decoded sample of stream `index` plays, in the stream's time base
// (AV_NOPTS_VALUE when unknown). Decoded, not read from the header: what a stream's start
// time counts differs among demuxers (MP4's includes the encoder's priming skipped by an
// edit list, Matroska's Opus does not include its codec delay), while the decoder's first
// frame carries the time of the first sample a player plays, which is the first sample
// Taln's decoder keeps.
std::int64_t firstSampleTime(const std::filesystem::path& path, int index) {
    const FfmpegInput opened(path);
    AVFormatContext* input = opened.format();
    AVStream& stream = *input->streams[index];
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (static_cast<int>(i) != index) {
            input->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    CodecContextPtr decoder(codec ? avcodec_alloc_context3(codec) : nullptr);
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!decoder || !packet || !frame ||
        avcodec_parameters_to_context(decoder.get(), stream.codecpar) < 0) {
        return stream.start_time;
    }
    decoder->pkt_timebase = stream.time_base;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        return stream.start_time;
    }
    while (av_read_frame(input, packet.get()) >= 0) {
        const bool ours = packet->stream_index == index;
        const int sent = ours ? avcodec_send_packet(decoder.get(), packet.get()) : 0;
        av_packet_unref(packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN)) {
            continue; // a damaged packet: the decoder skips it, as Taln's decoder does
        }
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            if (frame->nb_samples > 0 && frame->best_effort_timestamp != AV_NOPTS_VALUE) {
                return frame->best_effort_timestamp;
            }
            av_frame_unref(frame.get());
        }
    }
    return stream.start_time;
}

// Keeps a copied stream's codec tag when the muxer knows it for that codec (or has no
// table), else lets the muxer choose (as FFmpeg's own stream copy does).
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

} // namespace

bool isVideoPath(const std::filesystem::path& path) {
    return containerFor(path).has_value();
}

bool hasVideo(const std::filesystem::path& source) {
    const FfmpegInput opened(source);
    const AVFormatContext* input = opened.format();
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (isVideoStream(*input->streams[i])) {
            return true;
        }
    }
    return false;
}

void write(const Channels& channels, double sampleRate, const std::filesystem::path& source,
           const std::filesystem::path& destination) {
    AudioExporter::checkWritable(channels, sampleRate);
    const std::optional<Container> container = containerFor(destination);
    if (!container) {
        throw std::invalid_argument(displayName(destination) +
                                    ": a video must end in .mp4, .m4v, .mov, .mkv or .webm");
    }
    // The source is read as the decoder reads it: that one file, no nested opens.
    const FfmpegInput opened(source);
    AVFormatContext* input = opened.format();
    int audioIndex = -1;
    bool video = false;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream& stream = *input->streams[i];
        video = video || isVideoStream(stream);
        if (audioIndex < 0 && stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            audioIndex = static_cast<int>(i);
        }
    }
    if (!video) {
        throw std::invalid_argument(displayName(source) + " has no video; write .m4a or .wav");
    }
    if (audioIndex < 0) {
        throw TalnError(TalnError::noAudio);
    }

    FfmpegFileOutput file(destination);
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, container->muxer, nullptr), destination);
    OutputFormatPtr muxer(raw);
    muxer->pb = file.context();
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    av_dict_copy(&muxer->metadata, input->metadata, 0);
    copyChapters(*input, *muxer);

    // Output stream of each input stream, in the same order; -1 for those left out.
    std::vector<int> outputIndex(input->nb_streams, -1);
    std::optional<AudioTrack> audio;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream& in = *input->streams[i];
        const bool replaced = static_cast<int>(i) == audioIndex;
        if (!replaced && in.codecpar->codec_id == AV_CODEC_ID_NONE &&
            in.codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT) {
            in.discard = AVDISCARD_ALL;
            continue;
        }
        AVStream* out = avformat_new_stream(muxer.get(), nullptr);
        if (!out) {
            throw std::bad_alloc();
        }
        outputIndex[i] = out->index;
        if (replaced) {
            in.discard = AVDISCARD_ALL;
            audio.emplace(channels, static_cast<int>(sampleRate), in,
                          firstSampleTime(source, audioIndex), container->encoder, *muxer, *out,
                          destination);
            continue;
        }
        check(avcodec_parameters_copy(out->codecpar, in.codecpar), destination);
        fitCodecTag(*muxer->oformat, *out->codecpar);
        copyStreamProperties(in, *out, false);
    }
    check(avformat_write_header(muxer.get(), nullptr), destination);

    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        throw std::bad_alloc();
    }
    for (;;) {
        const int read = av_read_frame(input, packet.get());
        if (read == AVERROR_EOF) {
            // A read error ends the demuxer with EOF and leaves its reason in the context.
            if (input->pb && input->pb->error < 0) {
                throw ffmpegError(source, input->pb->error);
            }
            break;
        }
        check(read, source);
        const int index = packet->stream_index;
        // Streams a demuxer finds only while reading (after the header) are not copied.
        if (index == audioIndex || index >= static_cast<int>(outputIndex.size()) ||
            outputIndex[static_cast<std::size_t>(index)] < 0) {
            av_packet_unref(packet.get());
            continue;
        }
        const AVStream& in = *input->streams[index];
        const std::int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        if (time != AV_NOPTS_VALUE) {
            audio->writeUntil(double(time) * av_q2d(in.time_base));
        }
        AVStream& out = *muxer->streams[outputIndex[static_cast<std::size_t>(index)]];
        av_packet_rescale_ts(packet.get(), in.time_base, out.time_base);
        packet->stream_index = out.index;
        packet->pos = -1;
        check(av_interleaved_write_frame(muxer.get(), packet.get()), destination);
    }
    opened.throwIfNestedOpen();
    audio->finish();
    check(av_write_trailer(muxer.get()), destination);
    muxer.reset();
    file.commit();
}

} // namespace taln::VideoExporter
