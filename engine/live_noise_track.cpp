#include "engine/live_noise_track.h"

#include "engine/cleaner.h"
#include "engine/precondition.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace taln {

namespace {

constexpr std::int64_t kBins = Cleaner::kBins;
constexpr std::int64_t kNyquist = kBins - 1;

// Cleaner's profiles never go below this either: the gain never divides by zero.
constexpr float kPowerFloor = 1e-14f;

constexpr float kUnset = std::numeric_limits<float>::max();

} // namespace

// The bias, measured on white noise (200 runs of twice the window; the mean band power over the
// mean floor): in the window's steady state 4.5-5.1 dB for bands of 4 bins, 2.9-3.2 dB for 8-10,
// 1.6-1.8 for 24-30, 1.0-1.2 for 56-76, 0.6-0.7 for 172-209, within 0.5 dB of 9 dB / √bins at
// 44.1, 48 and 96 kHz (7.7 dB against 6.4 for the 2-bin band at 96 kHz). While the window fills,
// the minimum of n frames sits closer to the mean: the share of the full bias in dB was 0.2 at 2
// frames, 0.58 at 8, 0.74 at 16, 0.87 at 32, alike for every width, within 0.05 of
// (ln n / ln window)^0.8.
float LiveNoiseTrack::biasFor(std::int64_t bins, std::int64_t frames,
                              std::int64_t window) noexcept {
    constexpr double kBiasDb = 9.0;
    constexpr double kFillingExponent = 0.8;
    const double full = kBiasDb / std::sqrt(static_cast<double>(std::max<std::int64_t>(bins, 1)));
    const double share =
        frames >= window
            ? 1.0
            : std::pow(std::log(static_cast<double>(std::max<std::int64_t>(frames, 1))) /
                           std::log(static_cast<double>(window)),
                       kFillingExponent);
    return static_cast<float>(std::pow(10.0, full * share / 10.0));
}

LiveNoiseTrack::LiveNoiseTrack(double sampleRate)
    : bands_(sampleRate), binPower_(kBins, 0.0f), shape_(kBins, 0.0f), smoothShape_(kBins, 0.0f),
      noise_(kBins, kPowerFloor) {
    const std::int64_t hop = NoiseTrack::analysisHop(sampleRate);
    stride_ = hop / Cleaner::kHop;
    hopSeconds_ = static_cast<double>(hop) / sampleRate;
    smoothing_ = NoiseTrack::smoothingFactor(hopSeconds_);
    shapeWeight_ = 1.0 - std::exp(-hopSeconds_ / kShapeSeconds);
    window_ = std::max<std::int64_t>(kSubWindows, std::llround(kWindowSeconds / hopSeconds_));
    subLength_ = (window_ + kSubWindows - 1) / kSubWindows;
    const std::span<const std::int64_t> edges = bands_.edges();
    for (std::int64_t b = 0; b < bands_.count(); ++b) {
        const auto i = static_cast<std::size_t>(b);
        bins_[i] = edges[i + 1] - edges[i];
        bias_[i] = biasFor(bins_[i], window_, window_);
    }
    reset();
}

void LiveNoiseTrack::reset() noexcept {
    smoothed_.fill(0.0);
    current_.fill(kUnset);
    for (auto& minima : ring_) {
        minima.fill(kUnset);
    }
    floor_.fill(0.0f);
    ringFilled_ = 0;
    ringNext_ = 0;
    inSub_ = 0;
    heard_ = 0;
    shapeFrames_ = 0;
    noiseFrame_ = false;
    std::fill(shape_.begin(), shape_.end(), 0.0f);
    std::fill(noise_.begin(), noise_.end(), kPowerFloor);
}

void LiveNoiseTrack::update(const float* re, const float* im) noexcept {
    const std::int64_t bands = bands_.count();
    bands_.powers(re, im, power_.data());

    // The floor: the smoothed power's minimum over the current sub-window and the ring.
    std::int64_t nearFloor = 0;
    for (std::int64_t b = 0; b < bands; ++b) {
        const auto i = static_cast<std::size_t>(b);
        smoothed_[i] = heard_ == 0 ? static_cast<double>(power_[i])
                                   : NoiseTrack::smoothStep(smoothed_[i], power_[i], smoothing_);
        const auto s = static_cast<float>(smoothed_[i]);
        current_[i] = std::min(current_[i], s);
        float lowest = current_[i];
        for (std::int64_t r = 0; r < ringFilled_; ++r) {
            lowest = std::min(lowest, ring_[i][static_cast<std::size_t>(r)]);
        }
        floor_[i] = lowest;
        nearFloor += NoiseTrack::nearFloor(s, lowest) ? 1 : 0;
    }
    ++heard_;
    if (++inSub_ == subLength_) {
        for (std::int64_t b = 0; b < bands; ++b) {
            const auto i = static_cast<std::size_t>(b);
            ring_[i][static_cast<std::size_t>(ringNext_)] = current_[i];
            current_[i] = kUnset;
        }
        ringNext_ = (ringNext_ + 1) % kSubWindows;
        ringFilled_ = std::min<std::int64_t>(ringFilled_ + 1, kSubWindows);
        inSub_ = 0;
    }
    noiseFrame_ = NoiseTrack::isNoiseFrame(nearFloor, bands);

    // The fine shape: a running mean of the noise frames, plain at first, then exponential.
    if (noiseFrame_) {
        float* p = binPower_.data();
        p[0] = re[0] * re[0];
        p[kNyquist] = im[0] * im[0];
        for (std::int64_t k = 1; k < kNyquist; ++k) {
            p[k] = re[k] * re[k] + im[k] * im[k];
        }
        ++shapeFrames_;
        const auto w =
            static_cast<float>(std::max(shapeWeight_, 1.0 / static_cast<double>(shapeFrames_)));
        for (std::int64_t k = 0; k < kBins; ++k) {
            shape_[static_cast<std::size_t>(k)] += w * (p[k] - shape_[static_cast<std::size_t>(k)]);
        }
        // Over ±2 bins, as Cleaner's profile.
        for (std::int64_t k = 0; k < kBins; ++k) {
            const std::int64_t lo = std::max<std::int64_t>(k - 2, 0);
            const std::int64_t hi = std::min<std::int64_t>(k + 2, kNyquist);
            float sum = 0.0f;
            for (std::int64_t j = lo; j <= hi; ++j) {
                sum += shape_[static_cast<std::size_t>(j)];
            }
            smoothShape_[static_cast<std::size_t>(k)] = sum / static_cast<float>(hi - lo + 1);
        }
    }
    if (shapeFrames_ == 0) {
        return;
    }

    // Each band's level is its floor times the bias; the shape is scaled to it.
    const std::int64_t frames = std::min(heard_, window_);
    const std::span<const std::int64_t> edges = bands_.edges();
    for (std::int64_t b = 0; b < bands; ++b) {
        const auto i = static_cast<std::size_t>(b);
        float shapeSum = 0.0f;
        for (std::int64_t k = edges[i]; k < edges[i + 1]; ++k) {
            shapeSum += smoothShape_[static_cast<std::size_t>(k)];
        }
        const float level = floor_[i] * (settled() ? bias_[i] : biasFor(bins_[i], frames, window_));
        ratio_[i] = shapeSum > 0.0f ? level / shapeSum : 1.0f;
    }
    bands_.spread(ratio_.data(), smoothShape_, noise_);
    for (float& v : noise_) {
        v = v > kPowerFloor ? v : kPowerFloor; // not-a-number gives the floor too
    }
}

} // namespace taln
