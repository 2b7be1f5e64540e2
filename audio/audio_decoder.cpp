#include "audio/audio_decoder.h"

#include "audio/ffmpeg_input.h"
#include "audio/file_error.h"
#include "audio/frame_appender.h"
#include "audio/frame_queue.h"
#include "audio/memory_bound.h"
#include "audio/packet_reader.h"
#include "audio/taln_error.h"
#include "audio/video_streams.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/common.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace taln::AudioDecoder {
namespace {

// The decoded audio counts as falling short of the container's duration below this share of
// it, and only when at least kShortfallMinSeconds are missing: codecs' priming and padding
// and estimated durations differ from the real length by far less.
constexpr double kShortfallShare = 0.9;
constexpr double kShortfallMinSeconds = 1.0;

// Standard input is copied a mebibyte at a time, and waits for more at most this long between
// looks at the cancel flag.
constexpr std::size_t kCopyBlock = std::size_t{1} << 20;
constexpr int kCopyPollMilliseconds = 100;

// The container's duration in seconds (the stream's, else the file's); 0 when unknown.
double statedSeconds(const AVFormatContext& input, const AVStream& stream) {
    double seconds = 0.0;
    if (stream.duration > 0 && stream.time_base.num > 0 && stream.time_base.den > 0) {
        seconds = double(stream.duration) * av_q2d(stream.time_base);
    } else if (input.duration > 0) {
        seconds = double(input.duration) / AV_TIME_BASE;
    }
    // Beyond a year is no duration but a damaged header.
    if (!(seconds > 0.0) || seconds > 366.0 * 24 * 3600) {
        return 0.0;
    }
    return seconds;
}

// The depth of the source's samples (see the header), from the decoder after decoding and
// the sample format of its first frame.
SampleDepth depthOf(const AVCodecContext& decoder, int format) {
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(decoder.codec_id);
    bool lossless = descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_LOSSLESS) != 0;
    // DTS is lossless only as DTS-HD Master Audio; its core is lossy.
    if (decoder.codec_id == AV_CODEC_ID_DTS && decoder.profile != FF_PROFILE_DTS_HD_MA) {
        lossless = false;
    }
    if (!lossless) {
        return SampleDepth::lossy;
    }
    const auto packed = av_get_packed_sample_fmt(static_cast<AVSampleFormat>(format));
    if (packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL) {
        return SampleDepth::float32;
    }
    int bits = decoder.bits_per_raw_sample;
    if (bits <= 0) {
        bits = 8 * av_get_bytes_per_sample(static_cast<AVSampleFormat>(format));
    }
    if (bits <= 16) {
        return SampleDepth::int16;
    }
    return bits <= 24 ? SampleDepth::int24 : SampleDepth::int32;
}

// Closes a file descriptor on every exit unless released.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A regular file with the bytes of `fd`: a duplicate of `fd` when it is one already, else an
// anonymous memory file holding everything `fd` gives until its end, which `copied` counts.
// -1 when cancelled.
int regularCopy(int fd, const std::filesystem::path& name, const MemoryBound& bound,
                const std::atomic<bool>* cancel, std::int64_t& copied) {
    copied = 0;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (duplicate < 0) {
            throw FileError(name, AVERROR(errno));
        }
        return duplicate;
    }
    Descriptor memory(::memfd_create("taln-input", MFD_CLOEXEC));
    if (memory.get() < 0) {
        throw FileError(name, AVERROR(errno));
    }
    std::vector<char> block(kCopyBlock);
    for (;;) {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
            return -1;
        }
        // Waiting in poll, not read, so that a cancel is seen while the writer is silent.
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, kCopyPollMilliseconds) == 0) {
            continue;
        }
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            throw FileError(name, AVERROR(errno));
        }
        copied += got;
        bound.checkCopy(copied);
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = ::write(memory.get(), block.data() + written,
                                        static_cast<std::size_t>(got - written));
            if (put < 0 && errno != EINTR) {
                throw FileError(name, AVERROR(errno));
            }
            written += std::max<ssize_t>(put, 0);
        }
    }
    return memory.release();
}

// Decodes the first audio stream of `opened`, called `name` in messages, with `available`
// bytes of memory for the decoded audio; see decodeFile.
Decoded decodeOpened(const FfmpegInput& opened, const std::filesystem::path& name,
                     std::int64_t available, const DecodeOptions& options) {
    AVFormatContext* input = opened.format();

    int streamIndex = -1;
    bool video = false;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        video = video || VideoStreams::isVideoStream(*input->streams[i]);
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
    const CodecContextPtr decoder = PacketReader::openDecoder(stream, name);

    Timing timing;
    timing.timeBase = stream.time_base;
    // AVI counts its audio's timestamps from the bytes or chunks read: they hold no holes, and
    // for variable bit rates declared constant they wander by seconds.
    timing.followTimestamps = std::string_view(input->iformat->name) != "avi";
    timing.statedSeconds = statedSeconds(*input, stream);
    timing.fileBytes = input->pb ? avio_size(input->pb) : -1;
    const MemoryBound bound(name, available);
    // Before decoding, as far as the stream's parameters tell (its first frame decides).
    const int statedRate = stream.codecpar->sample_rate;
    if (statedRate >= kMinInputRate && statedRate <= kMaxInputRate) {
        const std::int64_t plausible = plausibleFrames(
            std::llround(timing.statedSeconds * outputRate(statedRate)), timing.fileBytes);
        bound.check(plausible, plausible,
                    std::clamp(stream.codecpar->ch_layout.nb_channels, 1, kMaxChannels));
    }
    FrameAppender appender(name, bound, timing);
    // A damaged packet is skipped and decoding goes on with the next one, as players do:
    // one bad packet in a long recording costs a few milliseconds, not the whole file.
    // The last such error is kept so that a file in which nothing decodes reports it.
    int lastDecodeError = 0;
    const auto report = [&] {
        if (options.progress != nullptr && appender.statedFrames() > 0) {
            options.progress->store(
                static_cast<float>(
                    std::min(1.0, double(appender.frames()) / double(appender.statedFrames()))),
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
        const bool complete =
            PacketReader::readAndDecode(name, input, streamIndex, decoder.get(), lastDecodeError,
                                        cancelled, [&](FramePtr& decoded) {
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
                PacketReader::readAndDecode(
                    name, input, streamIndex, decoder.get(), readErrors,
                    [&] { return stop.stop_requested(); },
                    [&](FramePtr& decoded) {
                        FramePtr taken(av_frame_alloc());
                        if (!taken) {
                            throw FileError(name, AVERROR(ENOMEM));
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
            throw FileError(name, lastDecodeError);
        }
        throw TalnError(TalnError::noAudio);
    }

    Decoded result;
    const int rate = appender.rate();
    result.format.sampleRate = rate;
    result.format.channelMask = appender.channelMask();
    result.format.depth = depthOf(*decoder, appender.firstFormat());
    result.sourceChannels = appender.sourceChannels();
    result.startSeconds = appender.startSeconds();
    result.gaps = std::move(appender.gaps());
    result.statedFrames = appender.statedFrames();
    result.hasVideo = video;
    const std::int64_t frames = appender.frames();
    const std::int64_t stated = result.statedFrames;
    if (stated > 0 && double(frames) < kShortfallShare * double(stated) &&
        double(stated - frames) >= kShortfallMinSeconds * rate) {
        char text[160];
        std::snprintf(text, sizeof text,
                      " ends early: %.1f s of audio where the file states %.1f s; it may be "
                      "damaged or cut short.",
                      double(frames) / rate, double(stated) / rate);
        result.shortfallWarning = displayName(name) + text;
    }
    for (auto& channel : appender.channels()) {
        result.channels.push_back(std::make_shared<const Channel>(std::move(channel)));
    }
    return result;
}

std::int64_t memoryFor(const DecodeOptions& options) {
    return options.memoryAvailable >= 0 ? options.memoryAvailable : systemMemoryAvailable();
}

} // namespace

Decoded decodeFile(const std::filesystem::path& path, const DecodeOptions& options) {
    const FfmpegInput opened(path);
    return decodeOpened(opened, path, memoryFor(options), options);
}

Decoded decodeStandardInput(const DecodeOptions& options) {
    const std::filesystem::path name = kStandardInputName;
    const std::int64_t available = memoryFor(options);
    std::int64_t copied = 0;
    const int fd =
        regularCopy(STDIN_FILENO, name, MemoryBound(name, available), options.cancel, copied);
    if (fd < 0) {
        return {};
    }
    const FfmpegInput opened(fd, name);
    return decodeOpened(opened, name, available - copied, options);
}

Channels decode(const std::filesystem::path& path) {
    return decodeFile(path).channels;
}

namespace {

// A length for people: tenths of a second from 0.1 s, milliseconds below.
std::string lengthText(std::int64_t frames, int sampleRate) {
    const double seconds = double(frames) / sampleRate;
    char text[32];
    if (seconds >= 0.1) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else {
        std::snprintf(text, sizeof text, "%lld ms", std::llround(seconds * 1000.0));
    }
    return text;
}

// A place in the recording: minutes and seconds, with hours from an hour on.
std::string placeText(std::int64_t frame, int sampleRate) {
    const std::int64_t at = frame / sampleRate;
    char text[32];
    if (at >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(at / 3600),
                      static_cast<long long>(at / 60 % 60), static_cast<long long>(at % 60));
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(at / 60),
                      static_cast<long long>(at % 60));
    }
    return text;
}

} // namespace

std::string describeGap(const Gap& gap, int sampleRate) {
    return lengthText(gap.frames, sampleRate) + " of the sound was missing at " +
           placeText(gap.frame, sampleRate) + " and is silent";
}

std::string describeGaps(const std::vector<Gap>& gaps, int sampleRate) {
    if (gaps.empty()) {
        return {};
    }
    if (gaps.size() == 1) {
        return describeGap(gaps.front(), sampleRate) + ".";
    }
    std::int64_t frames = 0;
    for (const Gap& gap : gaps) {
        frames += gap.frames;
    }
    return std::to_string(gaps.size()) + " stretches of the sound, " +
           lengthText(frames, sampleRate) + " in all, were missing from " +
           placeText(gaps.front().frame, sampleRate) + " on and are silent.";
}

} // namespace taln::AudioDecoder