#include "audio/audio_decoder.h"

#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_handles.h"
#include "audio/taln_error.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace taln::AudioDecoder {
namespace {

constexpr int kOutputRate = 44100;

// The input rates decoded; frames outside are treated as damaged. Below 1 kHz no recording
// exists, and resampling to 44,100 Hz multiplies the data: a 9 KB WAV header claiming 1 Hz
// became 1.6 GB of samples, 5 GB of memory at its peak and most of a minute. Above, the
// resampler's filter grows with the ratio: a 500-byte WAV claiming 1.07 GHz took 600 MB and
// 6 s to set up. 3,072 kHz is four times the fastest PCM (768 kHz) and above the 2,822.4 kHz
// at which FFmpeg decodes the densest DSD.
constexpr int kMinInputRate = 1000;
constexpr int kMaxInputRate = 3072000;

// The largest sample magnitude kept: 120 dB above full scale (1.0), beyond the headroom of
// any real float recording, and far below the 1e19 or so at which squared samples summed
// over a frame overflow a float.
constexpr float kSampleLimit = 1e6f;

// One channel for a mono stream, two for everything else: stereo stays stereo, more
// channels are downmixed by libswresample, and a stream whose channel count FFmpeg cannot
// tell (0) is read as two.
int outputChannelCount(const AVCodecParameters& parameters) {
    return parameters.ch_layout.nb_channels == 1 ? 1 : 2;
}

// A frame's layout as libswresample needs it: a layout without channel order (FFmpeg
// only knows the count) is taken as the standard layout for that count.
AVChannelLayout inputLayout(const AVFrame& frame) {
    AVChannelLayout layout{};
    if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&layout, frame.ch_layout.nb_channels);
    } else {
        av_channel_layout_copy(&layout, &frame.ch_layout);
    }
    return layout;
}

// Converts decoded frames to 44,100 Hz planar float with the output channel count and
// appends them to the channels. The converter is rebuilt when a stream changes its sample
// format, rate or layout midway (some broadcast recordings do), after draining the old one.
class Appender {
public:
    Appender(const std::filesystem::path& path, int channelCount)
        : path_(path), channels_(static_cast<std::size_t>(channelCount)) {
        if (channelCount == 1) {
            outLayout_ = AV_CHANNEL_LAYOUT_MONO;
        } else {
            outLayout_ = AV_CHANNEL_LAYOUT_STEREO;
        }
    }

    ~Appender() {
        av_channel_layout_uninit(&inLayout_);
        av_channel_layout_uninit(&outLayout_);
    }

    Appender(const Appender&) = delete;
    Appender& operator=(const Appender&) = delete;

    // Converts and appends one frame (one without samples or channels adds nothing). False
    // when the frame's rate is outside kMinInputRate ... kMaxInputRate: it is skipped as
    // damaged.
    bool append(const AVFrame& frame) {
        if (frame.nb_samples <= 0 || frame.sample_rate <= 0 || frame.ch_layout.nb_channels <= 0) {
            return true;
        }
        if (frame.sample_rate < kMinInputRate || frame.sample_rate > kMaxInputRate) {
            return false;
        }
        AVChannelLayout layout = inputLayout(frame);
        const bool sameInput = resampler_ && frame.format == inFormat_ &&
                               frame.sample_rate == inRate_ &&
                               av_channel_layout_compare(&layout, &inLayout_) == 0;
        if (!sameInput) {
            drain();
            reconfigure(std::move(layout), frame.format, frame.sample_rate);
        } else {
            av_channel_layout_uninit(&layout);
        }
        convert(const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
        return true;
    }

    // Empties the converter's delay line into the channels (call once after the last frame).
    void drain() {
        if (resampler_) {
            while (convert(nullptr, 0) > 0) {
            }
        }
    }

    // Reserves room for `frames` frames per channel, so that the channels do not grow by
    // copying themselves. Only address space: pages are touched as frames arrive. A
    // reservation the system refuses is skipped; the channels then grow as they fill.
    void reserve(std::int64_t frames) {
        try {
            for (auto& channel : channels_) {
                channel.reserve(static_cast<std::size_t>(frames));
            }
        } catch (const std::bad_alloc&) {
        }
    }

    std::int64_t frames() const { return static_cast<std::int64_t>(channels_.front().size()); }

    std::vector<std::vector<float>>& channels() { return channels_; }

private:
    void reconfigure(AVChannelLayout layout, int format, int rate) {
        av_channel_layout_uninit(&inLayout_);
        inLayout_ = layout;
        inFormat_ = format;
        inRate_ = rate;
        SwrContext* raw = nullptr;
        int ret =
            swr_alloc_set_opts2(&raw, &outLayout_, AV_SAMPLE_FMT_FLTP, kOutputRate, &inLayout_,
                                static_cast<AVSampleFormat>(format), rate, 0, nullptr);
        ResamplerPtr resampler(raw);
        if (ret >= 0) {
            ret = swr_init(resampler.get());
        }
        if (ret < 0) {
            throw ffmpegError(path_, ret);
        }
        resampler_ = std::move(resampler);
    }

    // Converts `count` input frames (none: drain) straight into per-channel scratch, then
    // appends the scratch to the channels: one copy into the growing channel arrays.
    int convert(const std::uint8_t** input, int count) {
        const int capacity = swr_get_out_samples(resampler_.get(), count);
        if (capacity < 0) {
            throw ffmpegError(path_, capacity);
        }
        if (capacity == 0) {
            return 0;
        }
        std::uint8_t* outputs[2] = {};
        for (std::size_t c = 0; c < channels_.size(); ++c) {
            if (scratch_[c].size() < static_cast<std::size_t>(capacity)) {
                scratch_[c].resize(static_cast<std::size_t>(capacity));
            }
            outputs[c] = reinterpret_cast<std::uint8_t*>(scratch_[c].data());
        }
        const int produced = swr_convert(resampler_.get(), outputs, capacity, input, count);
        if (produced < 0) {
            throw ffmpegError(path_, produced);
        }
        for (std::size_t c = 0; c < channels_.size(); ++c) {
            float* samples = scratch_[c].data();
            // A float source can carry NaN or infinite samples. One of them would turn
            // every later sample of the cleaned channel into NaN through the pre-filter's
            // recursion, so the rest of the recording would be exported as silence.
            // Absurdly large ones (a damaged float file holds values up to 3.4e38) overflow
            // the cleaning's power sums the same way: they are clipped at kSampleLimit.
            for (int i = 0; i < produced; ++i) {
                if (!std::isfinite(samples[i])) {
                    samples[i] = 0.0f;
                } else if (std::fabs(samples[i]) > kSampleLimit) {
                    samples[i] = std::copysign(kSampleLimit, samples[i]);
                }
            }
            channels_[c].insert(channels_[c].end(), samples, samples + produced);
        }
        return produced;
    }

    const std::filesystem::path& path_;
    std::vector<std::vector<float>> channels_;
    std::vector<float> scratch_[2];
    ResamplerPtr resampler_;
    AVChannelLayout outLayout_{};
    AVChannelLayout inLayout_{};
    int inFormat_ = -1;
    int inRate_ = 0;
};

// Decoded frames per byte of file that a reservation may assume: 44,100 Hz over the
// lowest bit rates in use (speech codecs near 5 kbit/s give under 100 frames a byte) with
// a wide margin. Only the reservation is bounded by it; a file that decodes to more (FLAC
// of digital silence) just grows its channels as they fill.
constexpr std::int64_t kMaxFramesPerByte = 1024;

// The container's duration at 44,100 Hz plus 1 % and one second for codecs that run a
// little long; 0 (no reservation) when unknown or beyond 24 hours, which no recording
// Taln opens reaches and a damaged header easily claims. At most kMaxFramesPerByte for
// each byte of the file (none when its size is unknown): a 9 KB header claiming 19 hours
// reserved 12 GB.
std::int64_t expectedFrames(const AVFormatContext& input, const AVStream& stream) {
    double seconds = 0.0;
    if (stream.duration > 0 && stream.time_base.num > 0 && stream.time_base.den > 0) {
        seconds = double(stream.duration) * av_q2d(stream.time_base);
    } else if (input.duration > 0) {
        seconds = double(input.duration) / AV_TIME_BASE;
    }
    if (!(seconds > 0.0) || seconds > 24.0 * 3600.0) {
        return 0;
    }
    const std::int64_t bytes = input.pb ? avio_size(input.pb) : -1;
    if (bytes <= 0) {
        return 0;
    }
    const auto frames = static_cast<std::int64_t>(seconds * 1.01 * kOutputRate) + kOutputRate;
    return std::min(frames, bytes * kMaxFramesPerByte);
}

bool isFatal(int errnum) {
    return errnum == AVERROR(ENOMEM);
}

InputFormatPtr openInput(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw ffmpegError(path, AVERROR(EISDIR));
    }
    // FFmpeg calls an empty file an "Invalid argument"; the user learns more from being told
    // there is no audio in it.
    if (std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) == 0) {
        throw TalnError(TalnError::noAudio);
    }
    AVFormatContext* raw = nullptr;
    // The "file:" prefix keeps a name such as "take:2.wav" from being read as a protocol,
    // and keeps the decoder to local files.
    const std::string url = "file:" + path.string();
    const int ret = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (ret < 0) {
        throw ffmpegError(path, ret);
    }
    InputFormatPtr input(raw);
    const int infoRet = avformat_find_stream_info(input.get(), nullptr);
    if (infoRet < 0) {
        throw ffmpegError(path, infoRet);
    }
    return input;
}

} // namespace

Channels decode(const std::filesystem::path& path) {
    InputFormatPtr input = openInput(path);

    int streamIndex = -1;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (streamIndex < 0 && input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            streamIndex = static_cast<int>(i);
        } else {
            // Only the first audio stream is read; the demuxer may skip the rest.
            input->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    if (streamIndex < 0) {
        throw TalnError(TalnError::noAudio);
    }
    const AVStream& stream = *input->streams[streamIndex];

    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!codec) {
        throw ffmpegError(path, AVERROR_DECODER_NOT_FOUND);
    }
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder) {
        throw ffmpegError(path, AVERROR(ENOMEM));
    }
    int ret = avcodec_parameters_to_context(decoder.get(), stream.codecpar);
    if (ret >= 0) {
        decoder->pkt_timebase = stream.time_base;
        ret = avcodec_open2(decoder.get(), codec, nullptr);
    }
    if (ret < 0) {
        throw ffmpegError(path, ret);
    }

    Appender appender(path, outputChannelCount(*stream.codecpar));
    appender.reserve(expectedFrames(*input, stream));
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        throw ffmpegError(path, AVERROR(ENOMEM));
    }

    // A damaged packet is skipped and decoding goes on with the next one, as players do:
    // one bad packet in a long recording costs a few milliseconds, not the whole file.
    // The last such error is kept so that a file in which nothing decodes reports it.
    int lastDecodeError = 0;
    auto receiveFrames = [&] {
        for (;;) {
            const int received = avcodec_receive_frame(decoder.get(), frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return;
            }
            if (received < 0) {
                if (isFatal(received)) {
                    throw ffmpegError(path, received);
                }
                lastDecodeError = received;
                continue;
            }
            if (!appender.append(*frame)) {
                lastDecodeError = AVERROR_INVALIDDATA;
            }
            av_frame_unref(frame.get());
        }
    };
    auto sendPacket = [&](const AVPacket* p) {
        const int sent = avcodec_send_packet(decoder.get(), p);
        if (sent < 0 && sent != AVERROR_EOF) {
            if (isFatal(sent)) {
                throw ffmpegError(path, sent);
            }
            lastDecodeError = sent;
        }
        receiveFrames();
    };

    for (;;) {
        const int read = av_read_frame(input.get(), packet.get());
        if (read == AVERROR_EOF) {
            // A read error of the file (EIO, a vanished network mount) ends the demuxer
            // with EOF and leaves the reason in the I/O context. Reading stopped early
            // then: nothing partial is returned.
            if (input->pb && input->pb->error < 0) {
                throw ffmpegError(path, input->pb->error);
            }
            break;
        }
        if (read < 0) {
            throw ffmpegError(path, read);
        }
        if (packet->stream_index == streamIndex) {
            sendPacket(packet.get());
        }
        av_packet_unref(packet.get());
    }
    sendPacket(nullptr);
    appender.drain();

    if (appender.frames() == 0) {
        if (lastDecodeError < 0) {
            throw ffmpegError(path, lastDecodeError);
        }
        throw TalnError(TalnError::noAudio);
    }

    Channels result;
    for (auto& channel : appender.channels()) {
        result.push_back(std::make_shared<const Channel>(std::move(channel)));
    }
    return result;
}

} // namespace taln::AudioDecoder
