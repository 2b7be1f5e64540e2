#include "audio/frame_appender.h"

#include "audio/file_error.h"
#include "audio/huge_pages.h"
#include "audio/pcm_samples.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/common.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

namespace taln::AudioDecoder {
namespace {

// The rates kept as they are; see the header for those outside.
constexpr int kMinOutputRate = 8000;
constexpr int kMaxOutputRate = 192000;

// Decoded frames per byte of file that a reservation, a refusal before decoding or a hole
// may assume: 44,100 Hz over the lowest bit rates in use (speech codecs near 5 kbit/s give
// under 100 frames a byte) with a wide margin. A file that decodes to more (FLAC of digital
// silence) just grows its channels as they fill, under the memory bound.
constexpr std::int64_t kMaxFramesPerByte = 1024;

// A hole may end this much after the stated duration (which codecs' padding and rounded
// container durations miss by far less); a timestamp further on is a new origin.
constexpr double kHoleSlackSeconds = 1.0;

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

} // namespace

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

std::int64_t plausibleFrames(std::int64_t frames, std::int64_t bytes) {
    if (frames <= 0 || bytes <= 0) {
        return 0;
    }
    return std::min(frames, bytes * kMaxFramesPerByte);
}

std::uint64_t FrameAppender::channelMask() const {
    return nativeMask(outLayout_);
}

FrameAppender::~FrameAppender() {
    av_channel_layout_uninit(&inLayout_);
    av_channel_layout_uninit(&outLayout_);
}

bool FrameAppender::append(const AVFrame& frame) {
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

void FrameAppender::drain() {
    if (resampler_) {
        while (convert(nullptr, 0) > 0) {
        }
    }
}

std::int64_t FrameAppender::frames() const {
    return channels_.empty() ? 0 : static_cast<std::int64_t>(channels_.front().size());
}

void FrameAppender::start(const AVFrame& frame) {
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
    reserve(statedFrames_ > 0
                ? plausibleFrames(statedFrames_ + statedFrames_ / 100 + rate_, timing_.fileBytes)
                : 0);
}

int FrameAppender::place(const AVFrame& frame) {
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

void FrameAppender::fillHole(double time) {
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

const std::uint8_t** FrameAppender::input(const AVFrame& frame, int skip) {
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

void FrameAppender::reserve(std::int64_t frames) {
    try {
        for (auto& channel : channels_) {
            channel.reserve(static_cast<std::size_t>(frames));
            adviseHugePages(channel.data(), channel.capacity() * sizeof(float));
        }
    } catch (const std::bad_alloc&) {
    }
}

void FrameAppender::reconfigure(AVChannelLayout layout, int format, int rate) {
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
        throw FileError(path_, ret);
    }
}

int FrameAppender::openResampler(bool plainMatrix) {
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

int FrameAppender::convert(const std::uint8_t** input, int count) {
    const int capacity = swr_get_out_samples(resampler_.get(), count);
    if (capacity < 0) {
        throw FileError(path_, capacity);
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
        throw FileError(path_, produced);
    }
    bound_.check(frames() + produced, statedFrames_, static_cast<int>(channels_.size()));
    for (std::size_t c = 0; c < channels_.size(); ++c) {
        float* samples = scratch_[c].data();
        // A float source can carry NaN or infinite samples. One of them would turn
        // every later sample of the cleaned channel into NaN through the pre-filter's
        // recursion, so the rest of the recording would be exported as silence.
        // Absurdly large ones (a damaged float file holds values up to 3.4e38) overflow
        // the cleaning's power sums the same way: they are clipped at PcmSamples::kSampleLimit.
        // Integer sources convert to finite samples within ±1 and skip the check.
        for (int i = 0; floatInput_ && i < produced; ++i) {
            samples[i] = PcmSamples::finiteWithin(samples[i]);
        }
        channels_[c].insert(channels_[c].end(), samples, samples + produced);
    }
    return produced;
}

} // namespace taln::AudioDecoder
