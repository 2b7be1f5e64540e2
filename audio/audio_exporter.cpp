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
#include <memory>
#include <span>
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
// as exactly v; rounded to nearest, ties to even (as lrint); saturated at both ends so that a
// loud peak clips instead of wrapping into a click of the opposite sign; NaN, which has no
// level, is 0. Written without branches or calls so that the loops below vectorise (this file
// is compiled with -fno-trapping-math for it): adding and taking away 1.5 · 2^23 rounds any
// float under 2^22 in size to an integer, exactly.
inline std::int16_t toInt16(float sample) {
    float scaled = sample * 32768.0f;
    scaled = scaled == scaled ? scaled : 0.0f;
    scaled = std::min(std::max(scaled, -32768.0f), 32767.0f);
    constexpr float kRound = 12582912.0f;
    return static_cast<std::int16_t>(static_cast<int>((scaled + kRound) - kRound));
}

// Frames [from, from + n) of the channels, interleaved into `out` as 16-bit samples.
void interleaveInt16(std::span<const float* const> channels, std::int64_t from, std::int64_t n,
                     std::int16_t* out) {
    const auto channelCount = static_cast<std::int64_t>(channels.size());
    if (channelCount == 2) {
        const float* left = channels[0] + from;
        const float* right = channels[1] + from;
        for (std::int64_t i = 0; i < n; ++i) {
            out[2 * i] = toInt16(left[i]);
            out[2 * i + 1] = toInt16(right[i]);
        }
        return;
    }
    if (channelCount == 1) {
        const float* source = channels[0] + from;
        for (std::int64_t i = 0; i < n; ++i) {
            out[i] = toInt16(source[i]);
        }
        return;
    }
    for (std::int64_t c = 0; c < channelCount; ++c) {
        const float* source = channels[static_cast<std::size_t>(c)] + from;
        for (std::int64_t i = 0; i < n; ++i) {
            out[i * channelCount + c] = toInt16(source[i]);
        }
    }
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

} // namespace

// One file being written: the temporary file and its muxer (declared after it, so that it is
// freed first); for WAV the PCM packet being made, for M4A the encoder and its frame, filled
// across appends.
struct Stream::State {
    std::filesystem::path path;
    int channelCount = 0;
    int rate = 0;
    Kind kind = Kind::wav;
    WavSamples samples = WavSamples::int16;
    FfmpegFileOutput file;
    OutputFormatPtr muxer;
    AVStream* stream = nullptr;
    PacketPtr packet;
    // Frames handed to the muxer (WAV) or sent to the encoder in whole frames (M4A).
    std::int64_t written = 0;
    std::vector<std::uint8_t> chunk;
    CodecContextPtr encoder;
    FramePtr frame;
    int frameSize = 1024;
    int filled = 0; // frames in `frame` not yet sent

    explicit State(const std::filesystem::path& destination) : path(destination), file(path) {}
};

namespace {

// WAV: PCM packets made here (16-bit or float, interleaved), no encoder needed.
void startWav(Stream::State& s) {
    const int bytes = s.samples == WavSamples::int16 ? 2 : 4;
    AVCodecParameters& parameters = *s.stream->codecpar;
    parameters.codec_type = AVMEDIA_TYPE_AUDIO;
    parameters.codec_id =
        s.samples == WavSamples::int16 ? AV_CODEC_ID_PCM_S16LE : AV_CODEC_ID_PCM_F32LE;
    av_channel_layout_default(&parameters.ch_layout, s.channelCount);
    parameters.sample_rate = s.rate;
    parameters.bits_per_coded_sample = 8 * bytes;
    parameters.block_align = bytes * s.channelCount;
    parameters.bit_rate = static_cast<std::int64_t>(s.rate) * s.channelCount * 8 * bytes;
    s.stream->time_base = AVRational{1, s.rate};

    // A 16-bit stereo WAV passes the 4 GiB limit of the classic header after 6.7 hours;
    // the muxer then switches to RF64 instead of writing a wrong size.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rf64", "auto", 0);
    const int header = avformat_write_header(s.muxer.get(), &options);
    av_dict_free(&options);
    check(header, s.path);
    s.chunk.resize(static_cast<std::size_t>(kChunkFrames * bytes * s.channelCount));
}

void appendWav(Stream::State& s, std::span<const float* const> channels, std::int64_t frames) {
    const int bytes = s.samples == WavSamples::int16 ? 2 : 4;
    for (std::int64_t done = 0; done < frames; done += kChunkFrames) {
        const std::int64_t n = std::min(frames - done, kChunkFrames);
        if (s.samples == WavSamples::int16) {
            // Little-endian on every machine Taln builds for (x86-64, arm64).
            interleaveInt16(channels, done, n, reinterpret_cast<std::int16_t*>(s.chunk.data()));
        } else {
            for (int c = 0; c < s.channelCount; ++c) {
                const float* source = channels[static_cast<std::size_t>(c)] + done;
                auto* out = reinterpret_cast<float*>(s.chunk.data()) + c;
                for (std::int64_t i = 0; i < n; ++i) {
                    out[i * s.channelCount] = finiteOrZero(source[i]);
                }
            }
        }
        AVPacket& packet = *s.packet;
        packet.data = s.chunk.data();
        packet.size = static_cast<int>(n * bytes * s.channelCount);
        packet.stream_index = s.stream->index;
        packet.pts = s.written;
        packet.dts = s.written;
        packet.duration = n;
        check(av_write_frame(s.muxer.get(), &packet), s.path);
        s.written += n;
    }
}

// M4A: FFmpeg's native AAC encoder fed planar float frames of its own size (1,024), into the
// ipod muxer (MP4 with the .m4a brand).
void startM4a(Stream::State& s) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        throw ffmpegError(s.path, AVERROR_ENCODER_NOT_FOUND);
    }
    if (!aacSupportsRate(*codec, s.rate)) {
        throw std::invalid_argument("AAC cannot be written at " + std::to_string(s.rate) + " Hz.");
    }
    s.encoder.reset(avcodec_alloc_context3(codec));
    if (!s.encoder) {
        throw ffmpegError(s.path, AVERROR(ENOMEM));
    }
    AVCodecContext& encoder = *s.encoder;
    encoder.sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder.sample_rate = s.rate;
    av_channel_layout_default(&encoder.ch_layout, s.channelCount);
    encoder.bit_rate = kAacBitRatePerChannel * s.channelCount;
    encoder.time_base = AVRational{1, s.rate};
    if (s.muxer->oformat->flags & AVFMT_GLOBALHEADER) {
        encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    check(avcodec_open2(&encoder, codec, nullptr), s.path);
    check(avcodec_parameters_from_context(s.stream->codecpar, &encoder), s.path);
    s.stream->time_base = AVRational{1, s.rate};
    check(avformat_write_header(s.muxer.get(), nullptr), s.path);

    s.frame.reset(av_frame_alloc());
    if (!s.frame) {
        throw ffmpegError(s.path, AVERROR(ENOMEM));
    }
    s.frameSize = encoder.frame_size > 0 ? encoder.frame_size : 1024;
    s.frame->format = AV_SAMPLE_FMT_FLTP;
    s.frame->sample_rate = s.rate;
    s.frame->nb_samples = s.frameSize;
    check(av_channel_layout_copy(&s.frame->ch_layout, &encoder.ch_layout), s.path);
    check(av_frame_get_buffer(s.frame.get(), 0), s.path);
}

// Sends the frame (null: the end of the audio) and muxes every packet the encoder has ready.
void encode(Stream::State& s, const AVFrame* frame) {
    check(avcodec_send_frame(s.encoder.get(), frame), s.path);
    for (;;) {
        const int ret = avcodec_receive_packet(s.encoder.get(), s.packet.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return;
        }
        check(ret, s.path);
        av_packet_rescale_ts(s.packet.get(), s.encoder->time_base, s.stream->time_base);
        s.packet->stream_index = s.stream->index;
        check(av_interleaved_write_frame(s.muxer.get(), s.packet.get()), s.path);
    }
}

void sendFilledFrame(Stream::State& s) {
    s.frame->nb_samples = s.filled;
    s.frame->pts = s.written;
    encode(s, s.frame.get());
    s.written += s.filled;
    s.filled = 0;
}

void appendM4a(Stream::State& s, std::span<const float* const> channels, std::int64_t frames) {
    for (std::int64_t done = 0; done < frames;) {
        if (s.filled == 0) {
            check(av_frame_make_writable(s.frame.get()), s.path);
        }
        const auto n =
            static_cast<int>(std::min<std::int64_t>(s.frameSize - s.filled, frames - done));
        for (int c = 0; c < s.channelCount; ++c) {
            const float* source = channels[static_cast<std::size_t>(c)] + done;
            auto* out = reinterpret_cast<float*>(s.frame->extended_data[c]) + s.filled;
            for (int i = 0; i < n; ++i) {
                out[i] = aacSample(source[i]);
            }
        }
        s.filled += n;
        done += n;
        if (s.filled == s.frameSize) {
            sendFilledFrame(s);
        }
    }
}

} // namespace

Stream::Stream(int channelCount, double sampleRate, Kind kind, const std::filesystem::path& path,
               WavSamples wavSamples) {
    validateRate(sampleRate, channelCount);
    state_ = std::make_unique<State>(path);
    State& s = *state_;
    s.channelCount = channelCount;
    s.rate = static_cast<int>(sampleRate);
    s.kind = kind;
    s.samples = wavSamples;
    const AVOutputFormat* format =
        av_guess_format(kind == Kind::wav ? "wav" : "ipod", nullptr, nullptr);
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, format, nullptr, nullptr), path);
    s.muxer.reset(raw);
    s.muxer->pb = s.file.context();
    s.muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    s.stream = avformat_new_stream(s.muxer.get(), nullptr);
    s.packet.reset(av_packet_alloc());
    if (!s.stream || !s.packet) {
        throw ffmpegError(path, AVERROR(ENOMEM));
    }
    if (kind == Kind::wav) {
        startWav(s);
    } else {
        startM4a(s);
    }
}

Stream::~Stream() = default;

void Stream::append(std::span<const float* const> channels, std::int64_t frames) {
    if (channels.size() != static_cast<std::size_t>(state_->channelCount)) {
        throw std::invalid_argument("Every channel of the file needs its samples.");
    }
    if (state_->kind == Kind::wav) {
        appendWav(*state_, channels, frames);
    } else {
        appendM4a(*state_, channels, frames);
    }
}

void Stream::finish() {
    State& s = *state_;
    if (s.kind == Kind::m4a) {
        if (s.filled > 0) {
            sendFilledFrame(s);
        }
        encode(s, nullptr);
    }
    check(av_write_trailer(s.muxer.get()), s.path);
    s.muxer.reset();
    s.file.commit();
}

namespace {

// Whole channels or chunks, in steps of kChunkFrames, each step checking the control.
void writeFile(const Samples& channels, double sampleRate, Kind kind,
               const std::filesystem::path& path, WavSamples wavSamples,
               const WriteControl& control) {
    Stream stream(channels.channelCount(), sampleRate, kind, path, wavSamples);
    std::vector<const float*> sources(static_cast<std::size_t>(channels.channelCount()));
    const std::int64_t total = channels.frames();
    for (std::int64_t start = 0; start < total; start += kChunkFrames) {
        const std::int64_t n = std::min(total - start, kChunkFrames);
        for (int c = 0; c < channels.channelCount(); ++c) {
            sources[static_cast<std::size_t>(c)] = channels.at(c, start);
        }
        stream.append(sources, n);
        step(control, start + n, total);
    }
    stream.finish();
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
