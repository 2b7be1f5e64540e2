#include "audio/loudness_meter.h"

#include "audio/channel_layouts.h"
#include "audio/true_peak.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

namespace taln::Loudness {
namespace {

// BS.1770-4's weight of a side or back channel, +1.5 dB in power.
constexpr float kSurroundWeight = 1.41f;

// libebur128's role and the energy table's weight for each channel of a layout: a mono
// channel counts once, as one front channel (as FFmpeg's ebur128 filter counts it).
int roleOf(int channel, int channelCount) {
    if (channelCount == 1) {
        return EBUR128_LEFT;
    }
    switch (channel) {
    case AV_CHAN_FRONT_LEFT:
        return EBUR128_LEFT;
    case AV_CHAN_FRONT_RIGHT:
        return EBUR128_RIGHT;
    case AV_CHAN_LOW_FREQUENCY:
    case AV_CHAN_LOW_FREQUENCY_2:
        return EBUR128_UNUSED;
    case AV_CHAN_SIDE_LEFT:
    case AV_CHAN_BACK_LEFT:
        return EBUR128_LEFT_SURROUND;
    case AV_CHAN_SIDE_RIGHT:
    case AV_CHAN_BACK_RIGHT:
        return EBUR128_RIGHT_SURROUND;
    default: // the centre and every other place weigh 1, as the centre does
        return EBUR128_CENTER;
    }
}

float weightOf(int role) {
    switch (role) {
    case EBUR128_UNUSED:
        return 0.0f;
    case EBUR128_LEFT_SURROUND:
    case EBUR128_RIGHT_SURROUND:
        return kSurroundWeight;
    default:
        return 1.0f;
    }
}

} // namespace

struct Meter::Filter {
    explicit Filter(ebur128_state* made) : state(made) {}
    ~Filter() { ebur128_destroy(&state); }
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;
    ebur128_state* state;
};

Meter::Meter(int channelCount, const AudioFormat& format) : channelCount_(channelCount) {
    // What the loudness filters are made for (and the per-channel weights hold).
    if (channelCount < 1 || channelCount > 8) {
        throw std::invalid_argument("Loudness is measured on 1 to 8 channels.");
    }
    if (format.sampleRate < kLowestRate || format.sampleRate > kHighestRate) {
        throw std::invalid_argument("The sample rate must be from 1,000 Hz to 2,822,400 Hz.");
    }
    const std::uint64_t mask = ChannelLayouts::maskFor(format.channelMask, channelCount);
    ebur128_state* state =
        ebur128_init(static_cast<unsigned>(channelCount),
                     static_cast<unsigned long>(format.sampleRate), EBUR128_MODE_M);
    if (!state) {
        throw std::bad_alloc();
    }
    filter_ = std::make_unique<Filter>(state);
    for (int c = 0; c < channelCount; ++c) {
        const int role = roleOf(ChannelLayouts::channelAt(mask, c), channelCount);
        ebur128_set_channel(filter_->state, static_cast<unsigned>(c), role);
        weights_[static_cast<std::size_t>(c)] = weightOf(role);
    }
    // libebur128's own count of frames in 100 ms.
    hop_ = (format.sampleRate + 5) / 10;
    interleaved_.resize(static_cast<std::size_t>(hop_ * channelCount));
    result_.sampleRate = format.sampleRate;
    result_.tilesPerHop = static_cast<int>((hop_ + kTileFrames - 1) / kTileFrames);
}

Meter::~Meter() = default;

void Meter::add(std::span<const float* const> channels, std::int64_t frames) {
    if (channels.size() != static_cast<std::size_t>(channelCount_)) {
        throw std::invalid_argument("Every channel needs its samples.");
    }
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t n = std::min(frames - done, hop_ - intoHop_);
        addToTiles(channels, done, n);
        addToFilter(channels, done, n);
        done += n;
        intoHop_ += n;
        if (intoHop_ < hop_) {
            continue;
        }
        intoHop_ = 0;
        // A hop's last tile ends with it (shorter, unless the hop is a multiple of 64 frames).
        if (intoTile_ > 0) {
            closeTile();
        }
        // The 400 ms that just ended are a block of their own once four hops are in.
        if (++hops_ >= 4) {
            double lufs = 0.0;
            ebur128_loudness_momentary(filter_->state, &lufs);
            result_.blocks.push_back(std::isfinite(lufs) ? std::pow(10.0, (lufs + 0.691) / 10.0)
                                                         : 0.0);
        }
    }
    const std::int64_t last = std::max<std::int64_t>(0, frames - 3);
    for (int c = 0; c < channelCount_; ++c) {
        const float* x = channels[static_cast<std::size_t>(c)];
        auto& history = history_[static_cast<std::size_t>(c)];
        for (std::int64_t i = last; i < frames; ++i) {
            history[0] = history[1];
            history[1] = history[2];
            history[2] = x[i];
        }
    }
    result_.frames += frames;
}

void Meter::addToFilter(std::span<const float* const> channels, std::int64_t from, std::int64_t n) {
    for (int c = 0; c < channelCount_; ++c) {
        const float* source = channels[static_cast<std::size_t>(c)] + from;
        for (std::int64_t i = 0; i < n; ++i) {
            interleaved_[static_cast<std::size_t>(i * channelCount_ + c)] = source[i];
        }
    }
    if (ebur128_add_frames_float(filter_->state, interleaved_.data(),
                                 static_cast<std::size_t>(n)) != EBUR128_SUCCESS) {
        throw std::bad_alloc();
    }
}

// The 64-frame table: each stretch's largest magnitude, with the value halfway between two
// samples estimated by a cubic through the four around it, and its energy, over frames
// [from, from + frames) of what add() was given, which lie inside one hop. Each sample is taken
// in the order it comes, whatever the lengths of the stretches handed over, so that the table,
// and the plan made from it, do not depend on them.
void Meter::addToTiles(std::span<const float* const> channels, std::int64_t from,
                       std::int64_t frames) {
    for (std::int64_t start = from; start < from + frames;) {
        const std::int64_t n = std::min(kTileFrames - intoTile_, from + frames - start);
        for (int c = 0; c < channelCount_; ++c) {
            const float* x = channels[static_cast<std::size_t>(c)];
            const auto& last = history_[static_cast<std::size_t>(c)]; // the three samples before
            // The midpoint between the samples two and one before each; the first three of a
            // call reach back into the last call's.
            float mid = 0.0f;
            std::int64_t i = start;
            for (; i < std::min<std::int64_t>(start + n, 3); ++i) {
                const float before3 = i >= 3 ? x[i - 3] : last[static_cast<std::size_t>(i)];
                const float before2 = i >= 2 ? x[i - 2] : last[static_cast<std::size_t>(i + 1)];
                const float before1 = i >= 1 ? x[i - 1] : last[2];
                mid = std::max(mid,
                               std::fabs((9.0f * (before2 + before1) - (before3 + x[i])) / 16.0f));
            }
            for (; i < start + n; ++i) {
                mid = std::max(
                    mid, std::fabs((9.0f * (x[i - 2] + x[i - 1]) - (x[i - 3] + x[i])) / 16.0f));
            }
            float energy = tileEnergies_[static_cast<std::size_t>(c)];
            for (i = start; i < start + n; ++i) {
                energy += x[i] * x[i];
            }
            tileEnergies_[static_cast<std::size_t>(c)] = energy;
            tilePeak_ = std::max({tilePeak_, mid, TruePeak::largestMagnitude(x + start, n)});
        }
        intoTile_ += n;
        start += n;
        if (intoTile_ == kTileFrames) {
            closeTile();
        }
    }
}

void Meter::closeTile() {
    float energy = 0.0f;
    for (int c = 0; c < channelCount_; ++c) {
        energy +=
            weights_[static_cast<std::size_t>(c)] * tileEnergies_[static_cast<std::size_t>(c)];
        tileEnergies_[static_cast<std::size_t>(c)] = 0.0f;
    }
    result_.tilePeaks.push_back(std::isfinite(tilePeak_) ? tilePeak_ : 0.0f);
    result_.tileEnergies.push_back(std::isfinite(energy) ? energy : 0.0f);
    tilePeak_ = 0.0f;
    intoTile_ = 0;
}

Measurement Meter::finish() {
    if (intoTile_ > 0) {
        closeTile();
    }
    result_.integrated = gatedLoudness(result_.blocks);
    return std::move(result_);
}

} // namespace taln::Loudness
