#include "audio/audio_decoder.h"

#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_handles.h"
#include "audio/ffmpeg_input.h"
#include "audio/frame_queue.h"
#include "audio/huge_pages.h"
#include "audio/taln_error.h"

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

// The input rates decoded; frames outside are treated as damaged. Below 1 kHz no recording
// exists, and resampling up multiplies the data: a 9 KB WAV header claiming 1 Hz became
// 1.6 GB of samples at 44,100 Hz, 5 GB of memory at its peak and most of a minute. Above, the
// resampler's filter grows with the ratio: a 500-byte WAV claiming 1.07 GHz took 600 MB and
// 6 s to set up. 3,072 kHz is four times the fastest PCM (768 kHz) and above the 2,822.4 kHz
// at which FFmpeg decodes the densest DSD.
constexpr int kMinInputRate = 1000;
constexpr int kMaxInputRate = 3072000;

// The rates kept as they are; see the header for those outside.
constexpr int kMinOutputRate = 8000;
constexpr int kMaxOutputRate = 192000;

// The largest sample magnitude kept: 16 (+24 dBFS), far above any real recording, even a
// float one over full scale, and the limit M4A export clips at. One corrupt float sample
// in the millions, kept, became most of a second of full-scale noise in the cleaned audio.
constexpr float kSampleLimit = 16.0f;

// Bytes one decoded frame takes per channel (32-bit float).
constexpr std::int64_t kBytesPerSample = 4;

// The decoded audio counts as falling short of the container's duration below this share of
// it, and only when at least kShortfallMinSeconds are missing: codecs' priming and padding
// and estimated durations differ from the real length by far less.
constexpr double kShortfallShare = 0.9;
constexpr double kShortfallMinSeconds = 1.0;

// Decoded frames per byte of file that a reservation, a refusal before decoding or a hole
// may assume: 44,100 Hz over the lowest bit rates in use (speech codecs near 5 kbit/s give
// under 100 frames a byte) with a wide margin. A file that decodes to more (FLAC of digital
// silence) just grows its channels as they fill, under the memory bound.
constexpr std::int64_t kMaxFramesPerByte = 1024;

// A hole may end this much after the stated duration (which codecs' padding and rounded
// container durations miss by far less); a timestamp further on is a new origin.
constexpr double kHoleSlackSeconds = 1.0;

// Standard input is copied a mebibyte at a time, and waits for more at most this long between
// looks at the cancel flag.
constexpr std::size_t kCopyBlock = std::size_t{1} << 20;
constexpr int kCopyPollMilliseconds = 100;

// See the header: 8 to 192 kHz as it is, slower up to 8 kHz, faster halved until it fits.
int outputRate(int inputRate) {
    if (inputRate < kMinOutputRate) {
        return kMinOutputRate;
    }
    int rate = inputRate;
    while (rate > kMaxOutputRate) {
        rate /= 2;
    }
    return rate;
}

// Decimal units, as file managers show sizes: "5.2 GB", "12.3 MB".
std::string bytesText(std::int64_t bytes) {
    char text[32];
    if (bytes >= 1000000000) {
        std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    }
    return text;
}

// The bound on the decoded audio; see the header. Refusal names the file, what the audio
// would need (the container's duration when it says so, otherwise at least what is decoded)
// and what is available.
class MemoryBound {
public:
    MemoryBound(const std::filesystem::path& path, std::int64_t available)
        : path_(path), available_(available) {}

    // Throws when `frames` frames of `channels` channels would need more than the memory
    // available.
    void check(std::int64_t frames, std::int64_t statedFrames, int channels) const {
        const auto needed = [&](std::int64_t count) {
            return count * channels * kBytesPerSample * kPeakFactor;
        };
        if (needed(frames) <= available_) {
            return;
        }
        if (statedFrames >= frames) {
            throw std::runtime_error(displayName(path_) + " is too long: it would need " +
                                     bytesText(needed(statedFrames)) + " of memory; " +
                                     bytesText(available_) + " are available.");
        }
        refuse();
    }

    // Throws when a copy of `bytes` bytes held in memory exceeds the memory available.
    void checkCopy(std::int64_t bytes) const {
        if (bytes > available_) {
            refuse();
        }
    }

private:
    [[noreturn]] void refuse() const {
        throw std::runtime_error(displayName(path_) + " is too long: it would need more than the " +
                                 bytesText(available_) + " of memory available.");
    }

    const std::filesystem::path& path_;
    std::int64_t available_;
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
    return INT64_MAX / (2 * kBytesPerSample * kPeakFactor * kMaxChannels);
}

// The mask of `layout` when its channels are in FFmpeg's native order (a custom order that
// happens to be native counts), else 0.
std::uint64_t nativeMask(const AVChannelLayout& layout) {
    if (layout.order == AV_CHANNEL_ORDER_NATIVE) {
        return layout.u.mask;
    }
    if (layout.order != AV_CHANNEL_ORDER_CUSTOM || layout.u.map == nullptr) {
        return 0;
    }
    std::uint64_t mask = 0;
    int last = -1;
    for (int i = 0; i < layout.nb_channels; ++i) {
        const int id = layout.u.map[i].id;
        if (id <= last || id >= 64) {
            return 0;
        }
        mask |= std::uint64_t{1} << id;
        last = id;
    }
    return mask;
}

// What a frame's channels are taken to be: its layout in native order, or, when FFmpeg knows
// only the count or the layout has no mask, the standard layout for the count (for counts
// above 8 that FFmpeg has no standard for, a layout of that count without order).
AVChannelLayout sourceLayout(const AVChannelLayout& given) {
    AVChannelLayout layout{};
    const std::uint64_t mask = nativeMask(given);
    if (mask != 0 && av_popcount64(mask) == given.nb_channels) {
        av_channel_layout_from_mask(&layout, mask);
    } else {
        av_channel_layout_default(&layout, given.nb_channels);
    }
    return layout;
}

// Sets a remix libswresample cannot derive itself (channels with no positions): the first
// channels go through as they are, every further one into the first two at -3 dB (or the
// only one).
int setPlainMatrix(SwrContext* resampler, int inputs, int outputs) {
    std::vector<double> matrix(static_cast<std::size_t>(inputs * outputs), 0.0);
    const auto at = [&](int out, int in) -> double& {
        return matrix[static_cast<std::size_t>(out * inputs + in)];
    };
    for (int in = 0; in < inputs; ++in) {
        if (in < outputs) {
            at(in, in) = 1.0;
        } else if (outputs == 1) {
            at(0, in) = 1.0;
        } else {
            at(0, in) = M_SQRT1_2;
            at(1, in) = M_SQRT1_2;
        }
    }
    return swr_set_matrix(resampler, matrix.data(), inputs);
}

// What the stream's timestamps may tell, fixed before decoding.
struct Timing {
    AVRational timeBase{0, 1};
    // False for containers whose audio timestamps are counted, not stated.
    bool followTimestamps = true;
    // The container's duration; 0 when it states none.
    double statedSeconds = 0.0;
    // The file's size; negative when unknown.
    std::int64_t fileBytes = -1;
};

// `frames` as far as a file of `bytes` bytes makes them plausible (kMaxFramesPerByte; 0 when
// the size is unknown): a 9 KB header claiming 19 hours reserved 12 GB.
std::int64_t plausibleFrames(std::int64_t frames, std::int64_t bytes) {
    if (frames <= 0 || bytes <= 0) {
        return 0;
    }
    return std::min(frames, bytes * kMaxFramesPerByte);
}

// Converts decoded frames to planar float at the output rate and layout (both the first
// frame's, see the header), places them on the stream's timeline and appends them to the
// channels. The converter is rebuilt when a stream changes its sample format, rate or layout
// midway (some broadcast recordings do), after draining the old one, and after a hole.
class Appender {
public:
    Appender(const std::filesystem::path& path, const MemoryBound& bound, const Timing& timing)
        : path_(path), bound_(bound), timing_(timing) {}

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
        if (channels_.empty()) {
            start(frame);
        }
        const int skip = place(frame);
        if (skip >= frame.nb_samples) {
            return true;
        }
        AVChannelLayout layout = sourceLayout(frame.ch_layout);
        const bool sameInput = resampler_ && frame.format == inFormat_ &&
                               frame.sample_rate == inRate_ &&
                               av_channel_layout_compare(&layout, &inLayout_) == 0;
        if (!sameInput) {
            drain();
            reconfigure(layout, frame.format, frame.sample_rate);
        } else {
            av_channel_layout_uninit(&layout);
        }
        convert(input(frame, skip), frame.nb_samples - skip);
        timeline_ += double(frame.nb_samples - skip) / frame.sample_rate;
        return true;
    }

    // Empties the converter's delay line into the channels (call once after the last frame).
    void drain() {
        if (resampler_) {
            while (convert(nullptr, 0) > 0) {
            }
        }
    }

    std::int64_t frames() const {
        return channels_.empty() ? 0 : static_cast<std::int64_t>(channels_.front().size());
    }
    int rate() const { return rate_; }
    std::uint64_t channelMask() const { return nativeMask(outLayout_); }
    int sourceChannels() const { return sourceChannels_; }
    int firstFormat() const { return firstFormat_; }
    double startSeconds() const { return startSeconds_; }
    std::int64_t statedFrames() const { return statedFrames_; }
    std::vector<Gap>& gaps() { return gaps_; }
    std::vector<std::vector<float>>& channels() { return channels_; }

private:
    // The first frame fixes the rate and the layout, and with them the stated length and the
    // room reserved.
    void start(const AVFrame& frame) {
        rate_ = outputRate(frame.sample_rate);
        sourceChannels_ = frame.ch_layout.nb_channels;
        if (sourceChannels_ <= kMaxChannels) {
            outLayout_ = sourceLayout(frame.ch_layout);
        } else {
            av_channel_layout_from_mask(&outLayout_, AV_CH_LAYOUT_7POINT1);
        }
        channels_.resize(static_cast<std::size_t>(outLayout_.nb_channels));
        scratch_.resize(channels_.size());
        firstFormat_ = frame.format;
        statedFrames_ = std::llround(timing_.statedSeconds * rate_);
        const std::int64_t plausible = plausibleFrames(statedFrames_, timing_.fileBytes);
        if (statedFrames_ > 0) {
            holeLimit_ = double(plausible) / rate_ + kHoleSlackSeconds;
        }
        // 1 % and a second more for codecs that run a little long.
        reserve(statedFrames_ > 0 ? plausibleFrames(statedFrames_ + statedFrames_ / 100 + rate_,
                                                    timing_.fileBytes)
                                  : 0);
    }

    // Places `frame` on the timeline (see the header): fills a hole before it with silence,
    // or returns how many of its samples overlap the audio before it and are dropped.
    int place(const AVFrame& frame) {
        if (!timing_.followTimestamps || frame.best_effort_timestamp == AV_NOPTS_VALUE) {
            return 0;
        }
        const double stamp = double(frame.best_effort_timestamp) * av_q2d(timing_.timeBase);
        if (!anchored_) {
            origin_ = stamp - timeline_;
            startSeconds_ = origin_;
            anchored_ = true;
            return 0;
        }
        const double time = stamp - origin_;
        const double early = time - timeline_;
        // Once an overlap is found, it is dropped to the sample, over as many frames as it
        // spans; otherwise up to kTimestampTolerance of it would be played twice.
        const bool overlapping = std::exchange(overlapping_, false) && early < 0.0;
        if (std::fabs(early) <= kTimestampTolerance && !overlapping) {
            return 0;
        }
        if (early > 0.0 && time <= holeLimit_) {
            fillHole(time);
            return 0;
        }
        if (early < 0.0 && -early <= kMaxOverlapSeconds) {
            const auto skip = static_cast<int>(
                std::min<std::int64_t>(frame.nb_samples, std::llround(-early * frame.sample_rate)));
            overlapping_ = skip == frame.nb_samples;
            return skip;
        }
        // A new origin: the frame goes on from the audio before it.
        origin_ += early;
        return 0;
    }

    // Silence from the end of the audio so far up to `time` seconds from its start. The
    // converter is drained first, so that the silence follows all of the audio before it,
    // and rebuilt for the audio after.
    void fillHole(double time) {
        drain();
        resampler_.reset();
        const std::int64_t end = std::llround(time * rate_);
        const std::int64_t silence = end - frames();
        if (silence > 0) {
            bound_.check(end, statedFrames_, static_cast<int>(channels_.size()));
            gaps_.push_back({frames(), silence});
            for (auto& channel : channels_) {
                channel.resize(static_cast<std::size_t>(end), 0.0f);
            }
        }
        timeline_ = time;
    }

    // The frame's sample planes from sample `skip` on.
    const std::uint8_t** input(const AVFrame& frame, int skip) {
        const auto format = static_cast<AVSampleFormat>(frame.format);
        const bool planar = av_sample_fmt_is_planar(format) != 0;
        const int planes = planar ? frame.ch_layout.nb_channels : 1;
        const std::ptrdiff_t offset = std::ptrdiff_t{skip} * av_get_bytes_per_sample(format) *
                                      (planar ? 1 : frame.ch_layout.nb_channels);
        planes_.resize(static_cast<std::size_t>(planes));
        for (int p = 0; p < planes; ++p) {
            planes_[static_cast<std::size_t>(p)] = frame.extended_data[p] + offset;
        }
        return planes_.data();
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

    void reconfigure(AVChannelLayout layout, int format, int rate) {
        av_channel_layout_uninit(&inLayout_);
        inLayout_ = layout;
        inFormat_ = format;
        inRate_ = rate;
        const auto packed = av_get_packed_sample_fmt(static_cast<AVSampleFormat>(format));
        floatInput_ = packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL;
        int ret = openResampler(false);
        if (ret < 0 && av_channel_layout_compare(&inLayout_, &outLayout_) != 0) {
            ret = openResampler(true);
        }
        if (ret < 0) {
            throw ffmpegError(path_, ret);
        }
    }

    // A converter from the input to the output format, remixing by libswresample's own matrix
    // or, with `plainMatrix`, by setPlainMatrix's.
    int openResampler(bool plainMatrix) {
        SwrContext* raw = nullptr;
        int ret = swr_alloc_set_opts2(&raw, &outLayout_, AV_SAMPLE_FMT_FLTP, rate_, &inLayout_,
                                      static_cast<AVSampleFormat>(inFormat_), inRate_, 0, nullptr);
        ResamplerPtr resampler(raw);
        if (ret >= 0 && plainMatrix) {
            ret = setPlainMatrix(resampler.get(), inLayout_.nb_channels, outLayout_.nb_channels);
        }
        if (ret >= 0) {
            ret = swr_init(resampler.get());
        }
        if (ret >= 0) {
            resampler_ = std::move(resampler);
        }
        return ret;
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
        std::uint8_t* outputs[kMaxChannels] = {};
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
        bound_.check(frames() + produced, statedFrames_, static_cast<int>(channels_.size()));
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
            channels_[c].insert(channels_[c].end(), samples, samples + produced);
        }
        return produced;
    }

    const std::filesystem::path& path_;
    const MemoryBound& bound_;
    const Timing timing_;
    std::vector<std::vector<float>> channels_;
    std::vector<std::vector<float>> scratch_;
    std::vector<const std::uint8_t*> planes_;
    ResamplerPtr resampler_;
    AVChannelLayout outLayout_{};
    AVChannelLayout inLayout_{};
    int inFormat_ = -1;
    int inRate_ = 0;
    bool floatInput_ = true;
    int rate_ = 0;
    int sourceChannels_ = 0;
    int firstFormat_ = -1;
    std::int64_t statedFrames_ = 0;
    // Timestamps beyond this many seconds from the start are a new origin, not a hole.
    double holeLimit_ = std::numeric_limits<double>::infinity();
    // Seconds of audio appended so far, silence included; the time, from the first sample,
    // at which the next frame is due.
    double timeline_ = 0.0;
    // The stream's time of the first sample (moved by a new origin), once a frame had one.
    double origin_ = 0.0;
    double startSeconds_ = 0.0;
    bool anchored_ = false;
    // The last frame was dropped whole as overlapping.
    bool overlapping_ = false;
    std::vector<Gap> gaps_;
};

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
            throw ffmpegError(name, AVERROR(errno));
        }
        return duplicate;
    }
    Descriptor memory(::memfd_create("taln-input", MFD_CLOEXEC));
    if (memory.get() < 0) {
        throw ffmpegError(name, AVERROR(errno));
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
            throw ffmpegError(name, AVERROR(errno));
        }
        copied += got;
        bound.checkCopy(copied);
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = ::write(memory.get(), block.data() + written,
                                        static_cast<std::size_t>(got - written));
            if (put < 0 && errno != EINTR) {
                throw ffmpegError(name, AVERROR(errno));
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
        throw ffmpegError(name, AVERROR_DECODER_NOT_FOUND);
    }
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder) {
        throw ffmpegError(name, AVERROR(ENOMEM));
    }
    int ret = avcodec_parameters_to_context(decoder.get(), stream.codecpar);
    if (ret >= 0) {
        decoder->pkt_timebase = stream.time_base;
        ret = avcodec_open2(decoder.get(), codec, nullptr);
    }
    if (ret < 0) {
        throw ffmpegError(name, ret);
    }

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
    Appender appender(name, bound, timing);
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
        const bool complete = readAndDecode(name, input, streamIndex, decoder.get(),
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
                    name, input, streamIndex, decoder.get(), readErrors,
                    [&] { return stop.stop_requested(); },
                    [&](FramePtr& decoded) {
                        FramePtr taken(av_frame_alloc());
                        if (!taken) {
                            throw ffmpegError(name, AVERROR(ENOMEM));
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
            throw ffmpegError(name, lastDecodeError);
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
