#include "audio/true_peak.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace taln::TruePeak {
namespace {

constexpr int kOversampling = 4;

using Coefficients = std::array<std::array<float, kTaps>, kOversampling - 1>;

// Inlined into two callers below, compiled for any x86-64 and for AVX2; the processor is
// checked once, at the first call.
[[gnu::always_inline]] inline void tileOf(const float* x, const Coefficients& coefficients,
                                          float* peaks) {
    for (const auto& phase : coefficients) {
        float value[kTileGaps] = {};
        for (int k = 0; k < kTaps; ++k) {
            const float c = phase[static_cast<std::size_t>(k)];
            for (int i = 0; i < kTileGaps; ++i) {
                value[i] += c * x[i + k];
            }
        }
        for (int i = 0; i < kTileGaps; ++i) {
            peaks[i] = std::max(peaks[i], std::fabs(value[i]));
        }
    }
    for (int i = 0; i < kTileGaps; ++i) {
        peaks[i] = std::max(peaks[i], std::fabs(x[i + kTapsBefore]));
    }
}

void tileBaseline(const float* x, const Coefficients& coefficients, float* peaks) {
    tileOf(x, coefficients, peaks);
}

__attribute__((target("avx2"))) void tileAvx2(const float* x, const Coefficients& coefficients,
                                              float* peaks) {
    tileOf(x, coefficients, peaks);
}

} // namespace

float largestMagnitude(const float* x, std::int64_t n) {
    constexpr std::uint32_t kMagnitude = 0x7fffffffu;
    constexpr std::uint32_t kInfinity = 0x7f800000u;
    std::uint32_t largest = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        largest = std::max(largest, std::bit_cast<std::uint32_t>(x[i]) & kMagnitude);
    }
    return std::bit_cast<float>(std::min(largest, kInfinity));
}

Filter::Filter() {
    for (int phase = 1; phase < kOversampling; ++phase) {
        const double offset = double(phase) / kOversampling;
        std::array<double, kTaps> taps{};
        double sum = 0.0;
        for (int k = 0; k < kTaps; ++k) {
            const double t = offset - (k - kTapsBefore); // distance from tap to the point
            const double sinc = std::sin(std::numbers::pi * t) / (std::numbers::pi * t);
            const double window = 0.5 * (1.0 + std::cos(std::numbers::pi * t / (kTaps / 2)));
            taps[k] = sinc * window;
            sum += taps[k];
        }
        double absSum = 0.0;
        for (int k = 0; k < kTaps; ++k) {
            coefficients_[phase - 1][k] = static_cast<float>(taps[k] / sum); // unit DC gain
            absSum += std::fabs(taps[k] / sum);
        }
        worstCase_ = std::max(worstCase_, absSum);
    }
}

const Filter& Filter::get() {
    static const Filter filter;
    return filter;
}

void Filter::tile(const float* x, float* peaks) const {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        tileAvx2(x, coefficients_, peaks);
    } else {
        tileBaseline(x, coefficients_, peaks);
    }
}

float Filter::gap(const float* x) const {
    float peak = std::fabs(x[kTapsBefore]);
    for (const auto& phase : coefficients_) {
        float value = 0.0f;
        for (int k = 0; k < kTaps; ++k) {
            value += phase[static_cast<std::size_t>(k)] * x[k];
        }
        peak = std::max(peak, std::fabs(value));
    }
    return peak;
}

Meter::Meter(int channelCount)
    : channelCount_(channelCount),
      held_(static_cast<std::size_t>(channelCount), std::vector<float>(kTapsBefore, 0.0f)) {}

void Meter::add(std::span<const float* const> channels, std::int64_t frames) {
    for (int c = 0; c < channelCount_; ++c) {
        auto& held = held_[static_cast<std::size_t>(c)];
        held.insert(held.end(), channels[static_cast<std::size_t>(c)],
                    channels[static_cast<std::size_t>(c)] + frames);
    }
    run(static_cast<std::int64_t>(held_.front().size()));
}

// Works out every whole tile of gaps whose taps lie before `until` in the held samples, and
// keeps the taps of the rest.
void Meter::run(std::int64_t until) {
    const Filter& filter = Filter::get();
    const std::int64_t tiles = (until - (kTaps - 1)) / kTileGaps;
    if (tiles <= 0) {
        return;
    }
    std::array<float, kTileGaps> peaks{};
    for (auto& held : held_) {
        for (std::int64_t t = 0; t < tiles; ++t) {
            // A tile whose samples, lifted as much as the filter can, stay under the peak
            // found so far cannot raise it.
            const float* x = held.data() + t * kTileGaps;
            if (largestMagnitude(x, kTileGaps + kTaps - 1) * filter.worstCase() > peak_) {
                filter.tile(x, peaks.data());
                peak_ = std::max(peak_, *std::max_element(peaks.begin(), peaks.end()));
            }
        }
        held.erase(held.begin(), held.begin() + tiles * kTileGaps);
    }
}

float Meter::finish() {
    // Silence after the end, enough to finish the last tile.
    for (auto& held : held_) {
        held.resize(held.size() + kTileGaps + kTaps, 0.0f);
    }
    run(static_cast<std::int64_t>(held_.front().size()));
    return peak_;
}

} // namespace taln::TruePeak
