#include "engine/spectral_gain.h"

#include "engine/precondition.h"

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
    : floor_(::exp10f((strength * -40.0f) / 20.0f)), overSub_(strength * 2.5f + 1.0f),
      lagWeight_(strength * 1.5f), lagFloor_(strength * -0.6f + 1.0f), power_(kBins, 0.0f),
      raw_(kBins, 0.0f), smooth_(kBins, 1.0f), lag_(kBins * kLagSlots, 0.0f) {
    requirePrecondition(noise.size() >= static_cast<std::size_t>(kBins),
                        "SpectralGain needs a noise profile of 1025 bins");
    noise_.assign(noise.begin(), noise.begin() + kBins);
}

namespace {

struct GainArgs {
    std::int64_t t;
    const float* noise;
    float floor;
    float overSub;
    float lagWeight;
    float lagFloor;
    float* power;
    float* raw;
    float* smooth;
    const float* older; // ring slot of frame t − 4 (read only when t ≥ 4)
    float* current;     // ring slot of frame t
    float* re;
    float* im;
};

// Every loop runs over independent bins and is written so the compiler can vectorise it; the
// per-bin arithmetic is identical in every lane and in both builds below.
[[gnu::always_inline]] inline void gainSteps(const GainArgs& a) {
    float* power = a.power;
    float* raw = a.raw;
    float* smooth = a.smooth;
    float* re = a.re;
    float* im = a.im;

    power[0] = re[0] * re[0];
    power[kNyquist] = im[0] * im[0];
    for (std::int64_t k = 1; k < kNyquist; ++k) {
        power[k] = re[k] * re[k] + im[k] * im[k];
    }

    for (std::int64_t k = 0; k < SpectralGain::kBins; ++k) {
        const float d = power[k] + kTinyPower;
        const float sub = 1.0f - (a.overSub * a.noise[k]) / d;
        const float g = std::sqrt(sub > 0.0f ? sub : 0.0f); // not-a-number counts as 0
        raw[k] = g <= a.floor ? a.floor : g;
    }
    if (a.t >= SpectralGain::kLagSlots - 1) {
        // The ring slot of frame t − 4, which starts exactly one frame length (2048 samples)
        // before this one: the latest frame that does not overlap it. Taking away 0.28·λ
        // (0.42·s) of its cleaned power lowers the gain of steady sounds the subtraction left,
        // never by more than sqrt(q_min). The floor above applies first, so the lowest gain is
        // g_min·sqrt(q_min).
        for (std::int64_t k = 0; k < SpectralGain::kBins; ++k) {
            const float d = power[k] + kTinyPower;
            const float q = (a.lagWeight * (a.older[k] * kLagShare)) / d + 1.0f;
            raw[k] = raw[k] * std::sqrt(q > a.lagFloor ? q : a.lagFloor); // NaN counts as q_min
        }
    }

    // Smoothing over ±1 bin (the edge bins stand in for their missing neighbour), then over
    // time; the ring keeps this frame's cleaned power S²·P.
    const auto smoothBin = [&](std::int64_t k, float left, float right) {
        const float m = (0.25f * left + 0.5f * raw[k]) + 0.25f * right;
        const float c = smooth[k] < m ? kRise : kFall;
        smooth[k] = smooth[k] + (m - smooth[k]) * c;
        a.current[k] = (smooth[k] * smooth[k]) * power[k];
    };
    smoothBin(0, raw[0], raw[1]);
    for (std::int64_t k = 1; k < kNyquist; ++k) {
        smoothBin(k, raw[k - 1], raw[k + 1]);
    }
    smoothBin(kNyquist, raw[kNyquist - 1], raw[kNyquist]);

    re[0] = re[0] * smooth[0];
    im[0] = im[0] * smooth[kNyquist];
    for (std::int64_t k = 1; k < kNyquist; ++k) {
        re[k] = re[k] * smooth[k];
        im[k] = im[k] * smooth[k];
    }
}

void gainsBaseline(const GainArgs& a) {
    gainSteps(a);
}

__attribute__((target("avx2"))) void gainsAvx2(const GainArgs& a) {
    gainSteps(a);
}

} // namespace

void SpectralGain::apply(std::int64_t t, float* re, float* im) noexcept {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    GainArgs args{};
    args.t = t;
    args.noise = noise_.data();
    args.floor = floor_;
    args.overSub = overSub_;
    args.lagWeight = lagWeight_;
    args.lagFloor = lagFloor_;
    args.power = power_.data();
    args.raw = raw_.data();
    args.smooth = smooth_.data();
    args.older = lag_.data() + ((t + 1) % kLagSlots) * kBins;
    args.current = lag_.data() + (t % kLagSlots) * kBins;
    args.re = re;
    args.im = im;
    if (avx2) {
        gainsAvx2(args);
    } else {
        gainsBaseline(args);
    }
}

} // namespace taln
