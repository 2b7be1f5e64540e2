#include "audio/audio_decoder.h"

#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_handles.h"
#include "audio/ffmpeg_input.h"
#include "audio/frame_queue.h"
#include "audio/huge_pages.h"
#include "audio/taln_error.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
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

// The largest sample magnitude kept: 16 (+24 dBFS), far above any real recording, even a
// float one over full scale, and the limit M4A export clips at. One corrupt float sample
// in the millions, kept, became most of a second of full-scale noise in the cleaned audio.
constexpr float kSampleLimit = 16.0f;

// Bytes one decoded frame takes per channel (32-bit float).
constexpr std::int64_t kBytesPerSample = 4;

// The decoded audio counts as falling short of the container's duration below this share of
// it, and only when at least kShortfallMinFrames are missing: codecs' priming and padding and
// estimated durations differ from the real length by far less.
constexpr double kShortfallShare = 0.9;
constexpr std::int64_t kShortfallMinFrames = kOutputRate;

// The bound on the decoded audio; see the header. Refusal names the file, what the audio
// would need (the container's duration when it says so, otherwise at least what is decoded)
// and what is available.
class MemoryBound {
public:
    MemoryBound(const std::filesystem::path& path, std::int64_t available, int channels)
        : path_(path), available_(available), channels_(channels) {}

    // Throws when `frames` frames would need more than the memory available.
    void check(std::int64_t frames, std::int64_t statedFrames) const {
        if (needed(frames) <= available_) {
            return;
        }
        if (statedFrames >= frames) {
            throw std::runtime_error(displayName(path_) + " is too long: it would need " +
                                     bytesText(needed(statedFrames)) + " of memory; " +
                                     bytesText(available_) + " are available.");
        }
        throw std::runtime_error(displayName(path_) + " is too long: it would need more than the " +
                                 bytesText(available_) + " of memory available.");
    }

private:
    std::int64_t needed(std::int64_t frames) const {
        return frames * channels_ * kBytesPerSample * kPeakFactor;
    }

    // Decimal units, as file managers show sizes: "5.2 GB", "12.3 MB".
    static std::string bytesText(std::int64_t bytes) {
        char text[32];
        if (bytes >= 1000000000) {
            std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
        } else {
            std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
        }
        return text;
    }

    const std::filesystem::path& path_;
    std::int64_t available_;
    std::int64_t channels_;
};

// MemAvailable from /proc/meminfo in bytes: what the system can give without swapping.
// Without it (no /proc), no bound: the limit is then the system's own.
std::int64_t systemMemoryAvailable() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::int64_t kilobytes = 0;
    std::string unit;
    while (meminfo >> key >> kilobytes) {
        std::getline(meminfo, unit);
        if (key == "MemAvailable:") {
            return kilobytes * 1024;
        }
    }
    return INT64_MAX / (2 * kBytesPerSample * kPeakFactor);
}

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
    Appender(const std::filesystem::path& path, int channelCount, const MemoryBound& bound,
             std::int64_t statedFrames)
        : path_(path), channels_(static_cast<std::size_t>(channelCount)), bound_(bound),
          statedFrames_(statedFrames) {
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
                adviseHugePages(channel.data(), channel.capacity() * sizeof(float));
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
        const auto planar = av_get_packed_sample_fmt(static_cast<AVSampleFormat>(format));
        floatInput_ = planar == AV_SAMPLE_FMT_FLT || planar == AV_SAMPLE_FMT_DBL;
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
            // Integer sources convert to finite samples within ±1 and skip the check.
            for (int i = 0; floatInput_ && i < produced; ++i) {
                if (!std::isfinite(samples[i])) {
                    samples[i] = 0.0f;
                } else if (std::fabs(samples[i]) > kSampleLimit) {
                    samples[i] = std::copysign(kSampleLimit, samples[i]);
                }
            }
            if (c == 0) {
                bound_.check(frames() + produced, statedFrames_);
            }
            channels_[c].insert(channels_[c].end(), samples, samples + produced);
        }
        return produced;
    }

    const std::filesystem::path& path_;
    std::vector<std::vector<float>> channels_;
    std::vector<float> scratch_[2];
    const MemoryBound& bound_;
    std::int64_t statedFrames_;
    ResamplerPtr resampler_;
    AVChannelLayout outLayout_{};
    AVChannelLayout inLayout_{};
    int inFormat_ = -1;
    int inRate_ = 0;
    bool floatInput_ = true;
};

// Decoded frames per byte of file that a reservation (or a refusal before decoding) may
// assume: 44,100 Hz over the lowest bit rates in use (speech codecs near 5 kbit/s give under
// 100 frames a byte) with a wide margin. A file that decodes to more (FLAC of digital
// silence) just grows its channels as they fill, under the memory bound.
constexpr std::int64_t kMaxFramesPerByte = 1024;

// The container's duration at 44,100 Hz (the stream's, else the file's); 0 when unknown.
std::int64_t statedFrames(const AVFormatContext& input, const AVStream& stream) {
    double seconds = 0.0;
    if (stream.duration > 0 && stream.time_base.num > 0 && stream.time_base.den > 0) {
        seconds = double(stream.duration) * av_q2d(stream.time_base);
    } else if (input.duration > 0) {
        seconds = double(input.duration) / AV_TIME_BASE;
    }
    // Beyond a year is no duration but a damaged header.
    if (!(seconds > 0.0) || seconds > 366.0 * 24 * 3600) {
        return 0;
    }
    return static_cast<std::int64_t>(seconds * kOutputRate);
}

// `frames` as far as the file's size makes them plausible (kMaxFramesPerByte; 0 when the
// size is unknown): a 9 KB header claiming 19 hours reserved 12 GB.
std::int64_t plausibleFrames(const AVFormatContext& input, std::int64_t frames) {
    const std::int64_t bytes = input.pb ? avio_size(input.pb) : -1;
    if (frames <= 0 || bytes <= 0) {
        return 0;
    }
    return std::min(frames, bytes * kMaxFramesPerByte);
}

bool isFatal(int errnum) {
    return errnum == AVERROR(ENOMEM);
}

// Reads the stream's packets and decodes them, to the end, flushing the decoder; each frame is
// handed to `deliver`, which returns false to stop. Also stops (and returns false) once `stop`
// returns true between packets. A damaged packet or frame is skipped, its error kept in
// `lastError`. Throws on a read error and on a fatal decoding error.
template <typename Stop, typename Deliver>
bool readAndDecode(const std::filesystem::path& path, AVFormatContext* input, int streamIndex,
                   AVCodecContext* decoder, int& lastError, const Stop& stop,
                   const Deliver& deliver) {
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        throw ffmpegError(path, AVERROR(ENOMEM));
    }
    const auto receiveFrames = [&] {
        for (;;) {
            const int received = avcodec_receive_frame(decoder, frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return true;
            }
            if (received < 0) {
                if (isFatal(received)) {
                    throw ffmpegError(path, received);
                }
                lastError = received;
                continue;
            }
            if (!deliver(frame)) {
                return false;
            }
        }
    };
    const auto sendPacket = [&](const AVPacket* p) {
        const int sent = avcodec_send_packet(decoder, p);
        if (sent < 0 && sent != AVERROR_EOF) {
            if (isFatal(sent)) {
                throw ffmpegError(path, sent);
            }
            lastError = sent;
        }
        return receiveFrames();
    };
    for (;;) {
        if (stop()) {
            return false;
        }
        const int read = av_read_frame(input, packet.get());
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
        const bool wanted = packet->stream_index == streamIndex;
        const bool more = !wanted || sendPacket(packet.get());
        av_packet_unref(packet.get());
        if (!more) {
            return false;
        }
    }
    return sendPacket(nullptr);
}

} // namespace

Decoded decodeFile(const std::filesystem::path& path, const DecodeOptions& options) {
    const FfmpegInput opened(path);
    AVFormatContext* input = opened.format();

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

    const int channelCount = outputChannelCount(*stream.codecpar);
    const std::int64_t stated = statedFrames(*input, stream);
    const std::int64_t plausible = plausibleFrames(*input, stated);
    const MemoryBound bound(
        path, options.memoryAvailable >= 0 ? options.memoryAvailable : systemMemoryAvailable(),
        channelCount);
    bound.check(plausible, plausible);
    Appender appender(path, channelCount, bound, stated);
    // 1 % and a second more for codecs that run a little long.
    appender.reserve(stated > 0 ? plausibleFrames(*input, stated + stated / 100 + kOutputRate) : 0);
    // A damaged packet is skipped and decoding goes on with the next one, as players do:
    // one bad packet in a long recording costs a few milliseconds, not the whole file.
    // The last such error is kept so that a file in which nothing decodes reports it.
    int lastDecodeError = 0;
    const auto report = [&] {
        if (options.progress != nullptr && stated > 0) {
            options.progress->store(
                static_cast<float>(std::min(1.0, double(appender.frames()) / double(stated))),
                std::memory_order_relaxed);
        }
    };
    const auto cancelled = [&] {
        return options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed);
    };
    const auto store = [&](const AVFrame& decodedFrame) {
        if (!appender.append(decodedFrame)) {
            lastDecodeError = AVERROR_INVALIDDATA;
        }
        report();
    };
    if (!options.decodeAhead) {
        const bool complete = readAndDecode(path, input, streamIndex, decoder.get(),
                                            lastDecodeError, cancelled, [&](FramePtr& decoded) {
                                                store(*decoded);
                                                av_frame_unref(decoded.get());
                                                return true;
                                            });
        if (!complete) {
            return {};
        }
    } else {
        // Frames pass 16 at a time (a quarter to three seconds of audio), at most 32 ahead:
        // few enough that a cancel or an error stops the reading at once.
        constexpr std::size_t kBatch = 16;
        FrameQueue frames(kBatch);
        int readErrors = 0;
        std::jthread reading([&](std::stop_token stop) {
            try {
                readAndDecode(
                    path, input, streamIndex, decoder.get(), readErrors,
                    [&] { return stop.stop_requested(); },
                    [&](FramePtr& decoded) {
                        FramePtr taken(av_frame_alloc());
                        if (!taken) {
                            throw ffmpegError(path, AVERROR(ENOMEM));
                        }
                        av_frame_move_ref(taken.get(), decoded.get());
                        return frames.push(std::move(taken), stop);
                    });
                frames.finish();
            } catch (...) {
                frames.finish(std::current_exception());
            }
        });
        // On leaving early (a cancel, an error), `reading` is stopped and joined first.
        std::deque<FramePtr> taken;
        while (frames.take(taken)) {
            for (const FramePtr& decoded : taken) {
                if (cancelled()) {
                    return {};
                }
                store(*decoded);
            }
            taken.clear();
        }
        reading.join();
        if (lastDecodeError == 0) {
            lastDecodeError = readErrors;
        }
    }
    appender.drain();
    opened.throwIfNestedOpen();

    if (appender.frames() == 0) {
        if (lastDecodeError < 0) {
            throw ffmpegError(path, lastDecodeError);
        }
        throw TalnError(TalnError::noAudio);
    }

    Decoded result;
    result.statedFrames = stated;
    const std::int64_t frames = appender.frames();
    if (stated > 0 && double(frames) < kShortfallShare * double(stated) &&
        stated - frames >= kShortfallMinFrames) {
        char text[160];
        std::snprintf(text, sizeof text,
                      " ends early: %.1f s of audio where the file states %.1f s; it may be "
                      "damaged or cut short.",
                      double(frames) / kOutputRate, double(stated) / kOutputRate);
        result.shortfallWarning = displayName(path) + text;
    }
    for (auto& channel : appender.channels()) {
        result.channels.push_back(std::make_shared<const Channel>(std::move(channel)));
    }
    return result;
}

Channels decode(const std::filesystem::path& path) {
    return decodeFile(path).channels;
}

} // namespace taln::AudioDecoder
