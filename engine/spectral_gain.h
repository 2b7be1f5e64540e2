#pragma once

// SpectralGain: the per-frame gain stage of the cleaner. Internal to the engine.
//
// For frame t it reads the packed spectrum (RealFFT layout, 1025 bins), computes each bin's gain
// by power spectral subtraction of the noise profile with over-subtraction β, a floor g_min and a
// factor that takes away part of the cleaned power of frame t − 4 (one frame length earlier),
// smooths the gains over ±1 bin and over time (rising 80 %, falling 20 % of the gap per hop),
// and scales the spectrum in place. All parameters come from the strength s (0 < s ≤ 1):
// g_min = −40·s dB, β = 1 + 2.5·s, λ = 1.5·s, q_min = 1 − 0.6·s. Single precision throughout.
//
// State carried between frames: the smoothed gains (starting at 1) and a ring of the cleaned bin
// powers of the last five frames (starting at 0). Frames must be applied in ascending order.
//
// Thread: one thread at a time. Allocation: construction only (about 8 × 1025 floats).

#include "engine/cleaner.h"

#include <cstdint>
#include <span>
#include <vector>

namespace taln {

class SpectralGain {
public:
    static constexpr std::int64_t kBins = Cleaner::kBins;
    static constexpr std::int64_t kLagSlots = 5;

    // `noise`: at least 1025 bin powers (the first 1025 are copied).
    SpectralGain(std::span<const float> noise, float strength);

    // Frame t: gains from the packed spectrum `re`/`im` (1024 floats each), applied in place.
    void apply(std::int64_t t, float* re, float* im) noexcept;

    float gainFloor() const noexcept { return floor_; }
    float lagFloor() const noexcept { return lagFloor_; }

    // The last frame's raw gains and applied (smoothed) gains, 1025 each.
    std::span<const float> rawGains() const noexcept { return raw_; }
    std::span<const float> gains() const noexcept { return smooth_; }

    // Ring slot `slot` (0 … 4): the cleaned bin powers of the last frame t with t mod 5 = slot.
    std::span<float> lagSlot(std::int64_t slot) noexcept {
        return std::span<float>(lag_).subspan(static_cast<std::size_t>(slot * kBins),
                                              static_cast<std::size_t>(kBins));
    }

private:
    std::vector<float> noise_;
    float floor_;     // g_min
    float overSub_;   // β
    float lagWeight_; // λ
    float lagFloor_;  // q_min
    std::vector<float> power_;
    std::vector<float> raw_;
    std::vector<float> smooth_;
    std::vector<float> lag_;
};

} // namespace taln
