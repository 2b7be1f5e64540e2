#include "engine/adaptive_gain.h"

#include "engine/precondition.h"

#include <algorithm>
#include <cmath>

namespace taln {

namespace {

constexpr std::int64_t kNyquist = AdaptiveGain::kBins - 1;

// Keeps an all-zero bin (digital silence, the padding around the channel) from dividing by zero.
constexpr float kTinyPower = 1e-20f;

// Euler's constant, for the exponential integral's series.
constexpr float kEulerGamma = 0.57721566f;

// The exponential integral E1(v) for v > 0, within 1e-4 relative: its series below 1, and above
// the rational approximation of Abramowitz and Stegun (5.1.56).
float exponentialIntegral(float v) {
    if (v < 1.0f) {
        const float v2 = v * v;
        return (((-kEulerGamma - std::log(v + 1e-30f)) + v) - 0.25f * v2) +
               (v2 * v) * (1.0f / 18.0f) - (v2 * v2) * (1.0f / 96.0f);
    }
    return std::exp(-v) / v * ((v * v + 2.334733f * v) + 0.250621f) /
           ((v * v + 3.330657f * v) + 1.681534f);
}

} // namespace

AdaptiveGain::AdaptiveGain(float strength, double sampleRate, float depth)
    : floor_(::exp10f((depth * (strength * -kFloorDbPerStrength)) / 20.0f)),
      alpha_(static_cast<float>(
          std::exp(-static_cast<double>(Cleaner::kHop) / (sampleRate * kMemorySeconds)))),
      speech_(kBins, 0.0f), gamma_(kBins, 0.0f), raw_(kBins, 0.0f), smooth_(kBins, 1.0f) {
    requirePrecondition(std::isfinite(sampleRate) && sampleRate > 0.0,
                        "AdaptiveGain needs a positive, finite sample rate");
}

void AdaptiveGain::apply(std::span<const float> noise, float* re, float* im) noexcept {
    constexpr float c1 = 1.0f + kPresentSnr;
    constexpr float c2 = kPresentSnr / (1.0f + kPresentSnr);
    float* raw = raw_.data();
    float* smooth = smooth_.data();
    float* speech = speech_.data();
    float* gamma = gamma_.data();

    // The log-spectral amplitude gain of each bin from its decision-directed a-priori SNR.
    for (std::int64_t k = 0; k < kBins; ++k) {
        const float p = k == 0          ? re[0] * re[0]
                        : k == kNyquist ? im[0] * im[0]
                                        : re[k] * re[k] + im[k] * im[k];
        const float n = noise[static_cast<std::size_t>(k)] + kTinyPower;
        const float g = p / n;
        const float excess = g - 1.0f;
        const float xi =
            alpha_ * (speech[k] / n) + (1.0f - alpha_) * (excess > 0.0f ? excess : 0.0f);
        const float wiener = xi / (1.0f + xi);
        const float lsa = wiener * std::exp(0.5f * exponentialIntegral(wiener * g + 1e-30f));
        const float gain = lsa < 1.0f ? lsa : 1.0f;
        speech[k] = (gain * gain) * p;
        gamma[k] = g;
        raw[k] = gain > floor_ ? gain : floor_; // not-a-number gives the floor too
    }

    // Presence from the a-posteriori SNR averaged over ±kPresenceBins bins: one noise bin that
    // happens to peak does not count as speech, so the pauses stay at the floor without the
    // isolated peaks of musical noise.
    for (std::int64_t k = 0; k < kBins; ++k) {
        const std::int64_t lo = std::max<std::int64_t>(k - kPresenceBins, 0);
        const std::int64_t hi = std::min<std::int64_t>(k + kPresenceBins, kNyquist);
        float sum = 0.0f;
        for (std::int64_t i = lo; i <= hi; ++i) {
            sum += gamma[i];
        }
        const float mean = sum / static_cast<float>(hi - lo + 1);
        const float presence = 1.0f / (1.0f + c1 * std::exp(-mean * c2));
        raw[k] = presence * raw[k] + (1.0f - presence) * floor_;
    }

    smooth[0] = 0.75f * raw[0] + 0.25f * raw[1];
    for (std::int64_t k = 1; k < kNyquist; ++k) {
        smooth[k] = (0.25f * raw[k - 1] + 0.5f * raw[k]) + 0.25f * raw[k + 1];
    }
    smooth[kNyquist] = 0.25f * raw[kNyquist - 1] + 0.75f * raw[kNyquist];

    re[0] = re[0] * smooth[0];
    im[0] = im[0] * smooth[kNyquist];
    for (std::int64_t k = 1; k < kNyquist; ++k) {
        re[k] = re[k] * smooth[k];
        im[k] = im[k] * smooth[k];
    }
}

} // namespace taln
