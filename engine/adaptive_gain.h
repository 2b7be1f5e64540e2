#pragma once

// AdaptiveGain: the per-frame gain stage of Taln's adaptive engine (the default). Internal to the
// engine; the reference engine's stage is SpectralGain.
//
// For each frame it reads the packed spectrum (RealFFT layout, 1025 bins) and that frame's noise
// N (1025 bin powers, from NoiseTrack::noiseAt), and for each bin k of power P:
//   γ = P / N                                        a-posteriori SNR
//   ξ = α·Â²/N + (1 − α)·max(γ − 1, 0)                decision-directed a-priori SNR, Â² being
//                                                    the previous frame's speech power estimate
//   G = ξ/(1 + ξ)                                     Wiener gain; Â² = G²·P for the next frame
//   p = 1/(1 + (1 + ξ₁)·exp(−γ̄·ξ₁/(1 + ξ₁)))          speech presence, γ̄ being γ averaged over
//                                                    ±3 bins and ξ₁ = 15 dB speech present
//   g = p·max(G, g_min) + (1 − p)·g_min             down to the floor where speech is absent
// then smooths g over ±1 bin and scales the bin. From the strength s (0 < s ≤ 1) and the noise's
// depth d (NoiseTrack::depth, 1 for steady noise): g_min = −kFloorDbPerStrength·s·d dB. α comes
// from a time constant in seconds, so the gain behaves alike at every sample rate.
//
// Why these, measured on the quick third of the quality benchmark (bench/quality --quick: real
// speech of two speakers at 0, 10 and 20 dB SNR over nine noises, strength 0.6) against other
// settings: the presence weighting took the pauses from −19 to −26 dB and
// PESQ-WB from 1.93 to 2.06; presence is judged on γ averaged over 7 bins so that one noise bin
// that happens to peak does not lift its gain out of the floor (musical noise); a memory of 0.2 s
// rather than 0.58 s (α = 0.98 at 44.1 kHz) gained 0.009 STOI for a kurtosis ratio of 3.7 instead
// of 3.1, still below the reference engine's 5.5. The log-spectral amplitude gain scored 0.002 STOI
// and 0.017 PESQ-WB above the Wiener gain, for three calls of the library's exp and log per bin,
// which do not vectorise and made the whole clean three times as slow; over-estimating the noise
// cost STOI and PESQ at every setting tried.
//
// State carried between frames: Â² (starting at 0). Frames must be applied in ascending order;
// the state forgets its start within a few dozen frames (a piece's warm-up covers it).
//
// Thread: one thread at a time. Allocation: construction only (about 5 × 1025 floats); `apply` and
// `setFloor` allocate, lock and block on nothing, so a real-time cleaner can run them per frame.

#include "engine/cleaner.h"

#include <cstdint>
#include <span>
#include <vector>

namespace taln {

class AdaptiveGain {
public:
    static constexpr std::int64_t kBins = Cleaner::kBins;
    // The floor at full strength and depth, dB below unity: −24 dB at the default 0.6.
    static constexpr float kFloorDbPerStrength = 40.0f;
    // The a-priori SNR's memory: α = exp(−hop / kMemorySeconds), 0.94 at 44.1 kHz.
    static constexpr double kMemorySeconds = 0.2;
    // The SNR speech is taken to have where present (ξ₁): 15 dB.
    static constexpr float kPresentSnr = 31.62f;
    // Presence is judged on γ averaged over this many bins either side.
    static constexpr std::int64_t kPresenceBins = 3;

    // `depth` (0 … 1, NoiseTrack::depth) scales the floor's depth in dB.
    AdaptiveGain(float strength, double sampleRate, float depth = 1.0f);

    // The floor for a new strength or depth, from the next frame on, the state kept (the live
    // cleaner's strength moves while it runs). Allocates nothing.
    void setFloor(float strength, float depth = 1.0f) noexcept;

    // One frame: gains from the packed spectrum `re`/`im` (1024 floats each) and `noise`
    // (1025 bin powers), applied in place.
    void apply(std::span<const float> noise, float* re, float* im) noexcept;

    float gainFloor() const noexcept { return floor_; }

    // The last frame's applied gains, 1025.
    std::span<const float> gains() const noexcept { return smooth_; }

private:
    float floor_;
    float alpha_;
    std::vector<float> speech_; // Â², the previous frame's speech power estimate
    std::vector<float> gamma_;  // γ of the current frame
    std::vector<float> raw_;
    std::vector<float> smooth_;
};

} // namespace taln
