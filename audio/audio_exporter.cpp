#include "audio/audio_exporter.h"

#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_file_output.h"
#include "audio/ffmpeg_handles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace taln::AudioExporter {
namespace {

// Frames written per step: memory beyond the input stays at one chunk (256 KiB per channel
// of 16-bit stereo interleaved) whatever the length of the recording.
constexpr std::int64_t kChunkFrames = 65536;

// AAC bit rate per channel: 96 kbit/s keeps speech and music transparent to most ears at
// 44.1 kHz, and a one-hour stereo export near 86 MB.
constexpr std::int64_t kAacBitRatePerChannel = 96000;

struct OutputFormatFreer {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFreer>;

// Float to 16-bit: scaled by 32,768 so that a decoded 16-bit sample (v / 32,768) comes back
// as exactly v; rounded to nearest; saturated at both ends so that a loud peak clips
// instead of wrapping into a click of the opposite sign; NaN, which has no level, is 0.
std::int16_t toInt16(float sample) {
    if (std::isnan(sample)) {
        return 0;
    }
    const float scaled = sample * 32768.0f;
    if (scaled >= 32767.0f) {
        return 32767;
    }
    if (scaled <= -32768.0f) {
        return -32768;
    }
    return static_cast<std::int16_t>(std::lrint(scaled));
}

// Samples for float WAV and for the AAC encoder: a NaN or infinite sample is written as 0,
// since either would poison every later sample of whatever reads or encodes the file.
float finiteOrZero(float sample) {
    return std::isfinite(sample) ? sample : 0.0f;
}

// FFmpeg's AAC encoder loops without end on samples in the millions (a constant 1e7 never
// finishes) and refuses the whole file past about 1e20 ("Invalid argument"). Real audio,
// even a float recording over full scale, stays far below 16 (+24 dBFS): samples beyond it
// are clipped there, so one wild value costs a click instead of the export.
constexpr float kAacSampleLimit = 16.0f;

float aacSample(float sample) {
    return std::clamp(finiteOrZero(sample), -kAacSampleLimit, kAacSampleLimit);
}

// Where the writers read their samples: whole channels or chunks. A step of kChunkFrames that
// starts on a multiple of it lies inside one chunk of ChunkedAudio (2^17 is a multiple of 2^16),
// so `at` gives a contiguous run of up to kChunkFrames samples either way.
static_assert(taln::kChunkFrames % kChunkFrames == 0);

class Samples {
public:
    explicit Samples(const Channels& channels) : channels_(&channels) {}
    explicit Samples(const ChunkedAudio& audio) : audio_(&audio) {}

    int channelCount() const {
        return channels_ ? static_cast<int>(channels_->size()) : audio_->channelCount();
    }
    std::int64_t frames() const {
        return channels_ ? frameCount(*channels_) : audio_->frameCount();
    }
    // Channel c from frame `start`, good for the rest of the kChunkFrames step it lies in.
    const float* at(int c, std::int64_t start) const {
        if (channels_) {
            return (*channels_)[static_cast<std::size_t>(c)]->data() + start;
        }
        const std::int64_t chunk = ChunkedAudio::chunkOf(start);
        return audio_->chunkData(c, chunk) + (start - ChunkedAudio::chunkStart(chunk));
    }

private:
    const Channels* channels_ = nullptr;
    const ChunkedAudio* audio_ = nullptr;
};

void validateRate(double sampleRate, int channelCount) {
    if (channelCount <= 0) {
        throw std::invalid_argument("There is no audio to export.");
    }
    if (!(sampleRate >= 1.0 && sampleRate <= 768000.0) || sampleRate != std::floor(sampleRate)) {
        throw std::invalid_argument("A sample rate of " + std::to_string(sampleRate) +
                                    " Hz cannot be written.");
    }
    if (channelCount > 8) {
        throw std::invalid_argument("At most 8 channels can be exported.");
    }
}


void check(int ret, const std::filesystem::path& path) {
    if (ret < 0) {
        throw ffmpegError(path, ret);
    }
}

// After each chunk: stops a cancelled write, reports how far it got.
void step(const WriteControl& control, std::int64_t written, std::int64_t total) {
    if (control.cancel != nullptr && control.cancel->load(std::memory_order_relaxed)) {
        throw WriteCancelled();
    }
    if (control.progress != nullptr && total > 0) {
        control.progress->store(static_cast<float>(written) / static_cast<float>(total),
                                std::memory_order_relaxed);
    }
}

// WAV: PCM packets made here (16-bit or float, interleaved), no encoder needed.
void writeWav(AVFormatContext& muxer, AVStream& stream, const Samples& channels, int rate,
              WavSamples samples, const std::filesystem::path& path, const WriteControl& control) {
    const int channelCount = channels.channelCount();
    const int bytes = samples == WavSamples::int16 ? 2 : 4;
    AVCodecParameters& parameters = *stream.codecpar;
    parameters.codec_type = AVMEDIA_TYPE_AUDIO;
    parameters.codec_id =
        samples == WavSamples::int16 ? AV_CODEC_ID_PCM_S16LE : AV_CODEC_ID_PCM_F32LE;
    av_channel_layout_default(&parameters.ch_layout, channelCount);
    parameters.sample_rate = rate;
    parameters.bits_per_coded_sample = 8 * bytes;
    parameters.block_align = bytes * channelCount;
    parameters.bit_rate = static_cast<std::int64_t>(rate) * channelCount * 8 * bytes;
    stream.time_base = AVRational{1, rate};

    // A 16-bit stereo WAV passes the 4 GiB limit of the classic header after 6.7 hours;
    // the muxer then switches to RF64 instead of writing a wrong size.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rf64", "auto", 0);
    const int header = avformat_write_header(&muxer, &options);
    av_dict_free(&options);
    check(header, path);

    const std::int64_t total = channels.frames();
    std::vector<std::uint8_t> chunk(
        static_cast<std::size_t>(std::min(total, kChunkFrames) * bytes * channelCount));
    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        throw ffmpegError(path, AVERROR(ENOMEM));
    }
    for (std::int64_t start = 0; start < total; start += kChunkFrames) {
        const std::int64_t n = std::min(total - start, kChunkFrames);
        for (int c = 0; c < channelCount; ++c) {
            const float* source = channels.at(c, start);
            if (samples == WavSamples::int16) {
                auto* out = reinterpret_cast<std::int16_t*>(chunk.data()) + c;
                for (std::int64_t i = 0; i < n; ++i) {
                    // Little-endian on every machine Taln builds for (x86-64, arm64).
                    out[i * channelCount] = toInt16(source[i]);
                }
            } else {
                auto* out = reinterpret_cast<float*>(chunk.data()) + c;
                for (std::int64_t i = 0; i < n; ++i) {
                    out[i * channelCount] = finiteOrZero(source[i]);
                }
            }
        }
        packet->data = chunk.data();
        packet->size = static_cast<int>(n * bytes * channelCount);
        packet->stream_index = stream.index;
        packet->pts = start;
        packet->dts = start;
        packet->duration = n;
        check(av_write_frame(&muxer, packet.get()), path);
        step(control, start + n, total);
    }
    check(av_write_trailer(&muxer), path);
}

bool aacSupportsRate(const AVCodec& codec, int rate) {
    if (!codec.supported_samplerates) {
        return true;
    }
    for (const int* r = codec.supported_samplerates; *r != 0; ++r) {
        if (*r == rate) {
            return true;
        }
    }
    return false;
}

// M4A: FFmpeg's native AAC encoder fed 1,024-frame planar float frames straight from the
// channels, into the ipod muxer (MP4 with the .m4a brand).
void writeM4a(AVFormatContext& muxer, AVStream& stream, const Samples& channels, int rate,
              const std::filesystem::path& path, const WriteControl& control) {
    const int channelCount = channels.channelCount();
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        throw ffmpegError(path, AVERROR_ENCODER_NOT_FOUND);
    }
    if (!aacSupportsRate(*codec, rate)) {
        throw std::invalid_argument("AAC cannot be written at " + std::to_string(rate) + " Hz.");
    }
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    if (!encoder) {
        throw ffmpegError(path, AVERROR(ENOMEM));
    }
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = rate;
    av_channel_layout_default(&encoder->ch_layout, channelCount);
    encoder->bit_rate = kAacBitRatePerChannel * channelCount;
    encoder->time_base = AVRational{1, rate};
    if (muxer.oformat->flags & AVFMT_GLOBALHEADER) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    check(avcodec_open2(encoder.get(), codec, nullptr), path);
    check(avcodec_parameters_from_context(stream.codecpar, encoder.get()), path);
    stream.time_base = AVRational{1, rate};
    check(avformat_write_header(&muxer, nullptr), path);

    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!frame || !packet) {
        throw ffmpegError(path, AVERROR(ENOMEM));
    }
    const int frameSize = encoder->frame_size > 0 ? encoder->frame_size : 1024;
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = rate;
    frame->nb_samples = frameSize;
    check(av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout), path);
    check(av_frame_get_buffer(frame.get(), 0), path);

    auto writePackets = [&] {
        for (;;) {
            const int ret = avcodec_receive_packet(encoder.get(), packet.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
                return;
            }
            check(ret, path);
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream.time_base);
            packet->stream_index = stream.index;
            check(av_interleaved_write_frame(&muxer, packet.get()), path);
        }
    };

    const std::int64_t total = channels.frames();
    for (std::int64_t chunk = 0; chunk < total; chunk += kChunkFrames) {
        const std::int64_t chunkEnd = std::min(total, chunk + kChunkFrames);
        for (std::int64_t start = chunk; start < chunkEnd; start += frameSize) {
            const int n = static_cast<int>(std::min<std::int64_t>(frameSize, chunkEnd - start));
            check(av_frame_make_writable(frame.get()), path);
            frame->nb_samples = n;
            frame->pts = start;
            for (int c = 0; c < channelCount; ++c) {
                const float* source = channels.at(c, start);
                auto* out = reinterpret_cast<float*>(frame->extended_data[c]);
                for (int i = 0; i < n; ++i) {
                    out[i] = aacSample(source[i]);
                }
            }
            check(avcodec_send_frame(encoder.get(), frame.get()), path);
            writePackets();
        }
        step(control, chunkEnd, total);
    }
    check(avcodec_send_frame(encoder.get(), nullptr), path);
    writePackets();
    check(av_write_trailer(&muxer), path);
}

void writeFile(const Samples& channels, double sampleRate, Kind kind,
               const std::filesystem::path& path, WavSamples wavSamples,
               const WriteControl& control) {
    const int rate = static_cast<int>(sampleRate);

    FfmpegFileOutput file(path);
    const AVOutputFormat* format =
        av_guess_format(kind == Kind::wav ? "wav" : "ipod", nullptr, nullptr);
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, format, nullptr, nullptr), path);
    OutputFormatPtr muxer(raw);
    muxer->pb = file.context();
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVStream* stream = avformat_new_stream(muxer.get(), nullptr);
    if (!stream) {
        throw ffmpegError(path, AVERROR(ENOMEM));
    }

    if (kind == Kind::wav) {
        writeWav(*muxer, *stream, channels, rate, wavSamples, path, control);
    } else {
        writeM4a(*muxer, *stream, channels, rate, path, control);
    }
    muxer.reset();
    file.commit();
}

} // namespace

void checkWritable(const Channels& channels, double sampleRate) {
    if (channels.empty()) {
        throw std::invalid_argument("There is no audio to export.");
    }
    const std::int64_t frames = frameCount(channels);
    for (const auto& channel : channels) {
        if (!channel || static_cast<std::int64_t>(channel->size()) != frames) {
            throw std::invalid_argument("The channels to export differ in length.");
        }
    }
    validateRate(sampleRate, static_cast<int>(channels.size()));
}

void write(const Channels& channels, double sampleRate, Kind kind,
           const std::filesystem::path& path, WavSamples wavSamples, const WriteControl& control) {
    checkWritable(channels, sampleRate);
    writeFile(Samples(channels), sampleRate, kind, path, wavSamples, control);
}

void writeChunks(const ChunkedAudio& audio, double sampleRate, Kind kind,
                 const std::filesystem::path& path, WavSamples wavSamples,
                 const WriteControl& control) {
    validateRate(sampleRate, audio.channelCount());
    writeFile(Samples(audio), sampleRate, kind, path, wavSamples, control);
}

} // namespace taln::AudioExporter
