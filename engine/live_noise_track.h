#pragma once

// LiveNoiseTrack: the noise of a stream learned as it goes, for the real-time cleaner. NoiseTrack
// made causal: no frame after the current one is ever read.
//
// It shares NoiseTrack's band layout (NoiseTrack::Bands), analysis hop, smoothing step and floor
// rule. Each analysis frame's band powers are smoothed forward only; a band's floor is the
// minimum of its smoothed power over the last kWindowSeconds, kept as a ring of kSubWindows
// sub-window minima (constant work per frame, nothing allocated), and over what has been heard
// when that is less. The floor sits below the noise's mean power by a bias that depends on how
// many bins the band holds and how many frames the minimum has seen (measured once on steady
// noise: biasFor); the floor times its bias is the band's noise level. The fine shape within the
// bands is a running average (over kShapeSeconds) of the frames where most bands sit near their
// floor, the rule by which NoiseTrack picks the frames it follows; like Cleaner's profile it is
// smoothed over ±2 bins. The noise is that shape scaled, band by band, to the bands' levels,
// interpolated between the bands' centres (NoiseTrack::Bands::spread).
//
// So a rise of the noise is followed once the quieter past has left the window (at most
// kWindowSeconds late), a fall at once, and a stream that starts in room tone has its noise within
// a few tenths of a second, closer as the window fills.
//
// Frames that hold digital silence (a muted microphone) must not be given: they would pull every
// floor towards zero and leave the noise unremoved for a whole window after.
//
// Units: the cleaner's 2048-sample frames at `sampleRate`, every stride()-th of them an analysis
// frame (NoiseTrack::analysisHop: about 40 ms); bin powers in RealFFT's forward scale.
// Thread: one thread at a time. Allocation: construction only; update and reset allocate, lock
// and block on nothing.

#include "engine/noise_track.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace taln {

class LiveNoiseTrack {
public:
    // The floor's window: the same three seconds as NoiseTrack's, all of them before the frame.
    static constexpr double kWindowSeconds = NoiseTrack::kBeforeSeconds + NoiseTrack::kAfterSeconds;
    // The window's minimum is kept in this many sub-windows (a quarter of a second each): the
    // window reaches between 12 and 13 of them back.
    static constexpr int kSubWindows = 12;
    // The fine shape's memory.
    static constexpr double kShapeSeconds = 1.0;
    explicit LiveNoiseTrack(double sampleRate);

    // Cleaner frames per analysis frame (NoiseTrack::analysisHop / Cleaner::kHop).
    std::int64_t stride() const noexcept { return stride_; }

    // Forgets everything heard: the state after construction.
    void reset() noexcept;

    // Takes the packed spectrum `re`/`im` (RealFFT layout) of the next analysis frame, before
    // any gain, and updates noise().
    void update(const float* re, const float* im) noexcept;

    // The noise of the last frame taken: 1025 bin powers, never below 1e-14 (1e-14 everywhere
    // before the first).
    std::span<const float> noise() const noexcept { return noise_; }

    // Whether the last frame taken was one of noise alone (most bands near their floor).
    bool noiseFrame() const noexcept { return noiseFrame_; }

    // Analysis frames taken since the start, and whether they fill the floor's window.
    std::int64_t heard() const noexcept { return heard_; }
    bool settled() const noexcept { return heard_ >= window_; }
    double hopSeconds() const noexcept { return hopSeconds_; }

    // The band noise level over the floor of a band of `bins` bins whose minimum has seen
    // `frames` analysis frames of a window of `window`, for steady noise; the measurement is in
    // live_noise_track.cpp.
    static float biasFor(std::int64_t bins, std::int64_t frames, std::int64_t window) noexcept;

private:
    NoiseTrack::Bands bands_;
    std::int64_t stride_;
    double hopSeconds_;
    double smoothing_;
    double shapeWeight_;
    std::int64_t window_;    // analysis frames in the floor's window
    std::int64_t subLength_; // analysis frames per sub-window

    // Per band: the smoothed power, the current sub-window's minimum, the finished sub-windows'
    // minima (a ring), the floor, and the bias after the window has filled.
    std::array<double, NoiseTrack::Bands::kMost> smoothed_{};
    std::array<float, NoiseTrack::Bands::kMost> current_{};
    std::array<std::array<float, kSubWindows>, NoiseTrack::Bands::kMost> ring_{};
    std::array<float, NoiseTrack::Bands::kMost> floor_{};
    std::array<std::int64_t, NoiseTrack::Bands::kMost> bins_{};
    std::array<float, NoiseTrack::Bands::kMost> bias_{};
    std::int64_t ringFilled_ = 0;
    std::int64_t ringNext_ = 0;
    std::int64_t inSub_ = 0;
    std::int64_t heard_ = 0;
    std::int64_t shapeFrames_ = 0;
    bool noiseFrame_ = false;

    std::array<float, NoiseTrack::Bands::kMost> power_{};
    std::array<float, NoiseTrack::Bands::kMost> ratio_{};
    std::vector<float> binPower_; // the frame's bin powers
    std::vector<float> shape_;    // running average of the noise frames' bin powers
    std::vector<float> smoothShape_;
    std::vector<float> noise_;
};

} // namespace taln
