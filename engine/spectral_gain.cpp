#include "engine/spectral_gain.h"

#include <cassert>
#include <cmath>

namespace taln {

namespace {

constexpr std::int64_t kNyquist = SpectralGain::kBins - 1;

// Keeps an all-zero bin from dividing by zero.
constexpr float kTinyPower = 1e-20f;

// Share of the lagged frame's cleaned power taken away from the current power (times λ).
constexpr float kLagShare = -0.28f;

// Gains rise fast (80 % of the gap per hop) so onsets keep their attack, and fall slowly
// (20 % per hop) so the gain does not flutter on the noise floor.
constexpr float kRise = 0.8f;
constexpr float kFall = 0.2f;

} // namespace

SpectralGain::SpectralGain(std::span<const float> noise, float strength)
    : noise_(noise), floor_(::exp10f((strength * -40.0f) / 20.0f)),
      overSub_(strength * 2.5f + 1.0f), lagWeight_(strength * 1.5f),
      lagFloor_(strength * -0.6f + 1.0f), power_(kBins, 0.0f), raw_(kBins, 0.0f),
      smooth_(kBins, 1.0f), lag_(kBins * kLagSlots, 0.0f) {
    assert(noise.size() >= static_cast<std::size_t>(kBins));
}

void SpectralGain::apply(std::int64_t t, float* re, float* im) noexcept {
    float* power = power_.data();
    float* raw = raw_.data();
    float* smooth = smooth_.data();
    const float* noise = noise_.data();

    power[0] = re[0] * re[0];
    power[kNyquist] = im[0] * im[0];
    for (std::int64_t k = 1; k < kNyquist; ++k) {
        power[k] = re[k] * re[k] + im[k] * im[k];
    }

    for (std::int64_t k = 0; k < kBins; ++k) {
        const float d = power[k] + kTinyPower;
        const float sub = 1.0f - (overSub_ * noise[k]) / d;
        float g = std::sqrt(sub > 0.0f ? sub : 0.0f); // not-a-number counts as 0
        if (g <= floor_) {
            g = floor_;
        }
        raw[k] = g;
    }
    if (t >= kLagSlots - 1) {
        // Slot (t + 1) mod 5 holds frame t − 4, which starts exactly one frame length (2048
        // samples) before this one: the latest frame that does not overlap it. Taking away
        // 0.28·λ (0.42·s) of its cleaned power lowers the gain of steady sounds the subtraction
        // left, never by more than sqrt(q_min). The floor above applies first, so the lowest gain
        // is g_min·sqrt(q_min).
        const float* older = lag_.data() + ((t + 1) % kLagSlots) * kBins;
        for (std::int64_t k = 0; k < kBins; ++k) {
            const float d = power[k] + kTinyPower;
            const float q = (lagWeight_ * (older[k] * kLagShare)) / d + 1.0f;
            raw[k] = raw[k] * std::sqrt(q > lagFloor_ ? q : lagFloor_); // NaN counts as q_min
        }
    }

    float* current = lag_.data() + (t % kLagSlots) * kBins;
    for (std::int64_t k = 0; k < kBins; ++k) {
        const float left = raw[k > 0 ? k - 1 : 0];
        const float right = raw[k < kNyquist ? k + 1 : kNyquist];
        const float m = (0.25f * left + 0.5f * raw[k]) + 0.25f * right;
        const float c = smooth[k] < m ? kRise : kFall;
        smooth[k] = smooth[k] + (m - smooth[k]) * c;
        current[k] = (smooth[k] * smooth[k]) * power[k];
    }

    re[0] = re[0] * smooth[0];
    im[0] = im[0] * smooth[kNyquist];
    for (std::int64_t k = 1; k < kNyquist; ++k) {
        re[k] = re[k] * smooth[k];
        im[k] = im[k] * smooth[k];
    }
}

} // namespace taln
