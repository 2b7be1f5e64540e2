#include "engine/adaptive_gain.h"

#include "engine/precondition.h"

#include <bit>
#include <cmath>
#include <cstdint>

namespace taln {

namespace {

constexpr std::int64_t kNyquist = AdaptiveGain::kBins - 1;
constexpr std::int64_t kPresence = AdaptiveGain::kPresenceBins;

// Keeps an all-zero bin (digital silence, the padding around the channel) from dividing by zero.
constexpr float kTinyPower = 1e-20f;

// The a-priori SNR is kept above −40 dB. Below the noise it decays by its own square every frame,
// into subnormal floats that x86 computes some hundred times slower (measured: the gain stage took
// 2.7 times the reference engine's on pink noise, 1.1 times on the benchmark's steady channel);
// its Wiener gain is then still below the lowest floor (−40 dB), so no gain changes.
constexpr float kLeastPrioriSnr = 1e-4f;

// e^x for x ≤ 0, within 6e-6 relative (the polynomial's error, measured over [0, 1]) down to e^-87
// (below that, about e^-87): as 2^-u with u = −x·log2 e, 2 to the whole part of u made in the
// exponent bits, times a polynomial for 2 to the rest. Plain arithmetic, so that the loops around
// it vectorise (the library's expf does not), and the same bits in every build.
[[gnu::always_inline]] inline float expNegative(float x) {
    const float u0 = x * -1.44269504f;
    const float u = u0 < 126.0f ? u0 : 126.0f; // not-a-number gives 126 too
    const auto whole = static_cast<std::int32_t>(u);
    const float f = 1.0f - (u - static_cast<float>(whole)); // in (0, 1]
    // 2^f on [0, 1] by a polynomial of degree 6.
    float p = 1.53533e-4f;
    p = p * f + 1.339887e-3f;
    p = p * f + 9.618437e-3f;
    p = p * f + 5.550332e-2f;
    p = p * f + 2.4022652e-1f;
    p = p * f + 6.931472e-1f;
    p = p * f + 1.0f;
    // 2^-u = 2^f · 2^-(whole + 1).
    return p * std::bit_cast<float>(static_cast<std::uint32_t>(126 - whole) << 23);
}

struct WienerArrays {
    const float* __restrict noise;
    float* __restrict speech;
    float* __restrict gamma;
    float* __restrict raw;
    float floor;
    float alpha;
};

// The Wiener gain of the decision-directed a-priori SNR of bin k of power p, the floor below it;
// the bin's a-posteriori SNR (in place of p when p is read from `gamma`) and speech power kept.
[[gnu::always_inline]] inline void wienerBin(const WienerArrays w, std::int64_t k, float p) {
    const float inverse = 1.0f / (w.noise[k] + kTinyPower);
    const float g = p * inverse;
    const float excess = g - 1.0f;
    const float dd =
        w.alpha * (w.speech[k] * inverse) + (1.0f - w.alpha) * (excess > 0.0f ? excess : 0.0f);
    const float xi = dd > kLeastPrioriSnr ? dd : kLeastPrioriSnr;
    const float wiener = xi / (1.0f + xi);
    w.speech[k] = (wiener * wiener) * p;
    w.gamma[k] = g;
    w.raw[k] = wiener > w.floor ? wiener : w.floor; // not-a-number gives the floor too
}

struct GainArgs {
    const float* noise;
    float floor;
    float alpha;
    float* speech;
    float* gamma;
    float* raw;
    float* smooth;
    float* re;
    float* im;
};

// Every loop runs over independent bins and is written so the compiler can vectorise it; the
// per-bin arithmetic is identical in every lane and in both builds below.
[[gnu::always_inline]] inline void gainSteps(const GainArgs& a) {
    constexpr float c1 = 1.0f + AdaptiveGain::kPresentSnr;
    constexpr float c2 = AdaptiveGain::kPresentSnr / (1.0f + AdaptiveGain::kPresentSnr);
    // No two of these arrays overlap (the gain's own, and the caller's spectrum); saying so
    // keeps the loops below from needing more overlap checks than GCC versions a loop for.
    const float* __restrict noise = a.noise;
    float* __restrict gamma = a.gamma;
    float* __restrict raw = a.raw;
    float* __restrict speech = a.speech;
    float* __restrict smooth = a.smooth;
    float* __restrict re = a.re;
    float* __restrict im = a.im;
    const float floor = a.floor;
    const float alpha = a.alpha;

    // Powers into `gamma` first (a loop of its own vectorises; one that also reads the spectrum
    // did not), then each bin's gain.
    gamma[0] = re[0] * re[0];
    gamma[kNyquist] = im[0] * im[0];
    for (std::int64_t k = 1; k < kNyquist; ++k) {
        gamma[k] = re[k] * re[k] + im[k] * im[k];
    }
    const WienerArrays w{noise, speech, gamma, raw, floor, alpha};
    for (std::int64_t k = 0; k < AdaptiveGain::kBins; ++k) {
        wienerBin(w, k, gamma[k]);
    }
    // Presence from γ averaged over ±3 bins (fewer at the edges).
    const auto weigh = [&](std::int64_t k, float mean) {
        const float presence = 1.0f / (1.0f + c1 * expNegative(-(mean * c2)));
        raw[k] = presence * raw[k] + (1.0f - presence) * floor;
    };
    for (std::int64_t k = 0; k < kPresence; ++k) {
        float sum = 0.0f;
        for (std::int64_t i = 0; i <= k + kPresence; ++i) {
            sum += gamma[i];
        }
        weigh(k, sum / static_cast<float>(k + kPresence + 1));
    }
    for (std::int64_t k = kPresence; k < AdaptiveGain::kBins - kPresence; ++k) {
        const float sum = ((gamma[k - 3] + gamma[k - 2]) + (gamma[k - 1] + gamma[k])) +
                          ((gamma[k + 1] + gamma[k + 2]) + gamma[k + 3]);
        weigh(k, sum * (1.0f / 7.0f));
    }
    for (std::int64_t k = AdaptiveGain::kBins - kPresence; k < AdaptiveGain::kBins; ++k) {
        float sum = 0.0f;
        for (std::int64_t i = k - kPresence; i <= kNyquist; ++i) {
            sum += gamma[i];
        }
        weigh(k, sum / static_cast<float>(kNyquist - k + kPresence + 1));
    }
    // Smoothing over ±1 bin (the edge bins stand in for their missing neighbour).
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

void gainsBaseline(const GainArgs& a) {
    gainSteps(a);
}

__attribute__((target("avx2"))) void gainsAvx2(const GainArgs& a) {
    gainSteps(a);
}

} // namespace

namespace {

float floorFor(float strength, float depth) {
    return ::exp10f((depth * (strength * -AdaptiveGain::kFloorDbPerStrength)) / 20.0f);
}

} // namespace

AdaptiveGain::AdaptiveGain(float strength, double sampleRate, float depth)
    : floor_(floorFor(strength, depth)),
      alpha_(static_cast<float>(
          std::exp(-static_cast<double>(Cleaner::kHop) / (sampleRate * kMemorySeconds)))),
      speech_(kBins, 0.0f), gamma_(kBins, 0.0f), raw_(kBins, 0.0f), smooth_(kBins, 1.0f) {
    requirePrecondition(std::isfinite(sampleRate) && sampleRate > 0.0,
                        "AdaptiveGain needs a positive, finite sample rate");
}

void AdaptiveGain::setFloor(float strength, float depth) noexcept {
    floor_ = floorFor(strength, depth);
}

void AdaptiveGain::apply(std::span<const float> noise, float* re, float* im) noexcept {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    GainArgs args{};
    args.noise = noise.data();
    args.floor = floor_;
    args.alpha = alpha_;
    args.speech = speech_.data();
    args.gamma = gamma_.data();
    args.raw = raw_.data();
    args.smooth = smooth_.data();
    args.re = re;
    args.im = im;
    if (avx2) {
        gainsAvx2(args);
    } else {
        gainsBaseline(args);
    }
}

} // namespace taln
