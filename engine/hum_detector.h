#pragma once

// HumDetector: which of the pre-filter's sixteen hum-notch candidates (50, 100, ..., 400 Hz and
// 60, 120, ..., 480 Hz) carry a mains-hum line in a channel's noise sample.
//
// The noise sample is the set of frames estimateNoise averaged (or a stretch the user chose):
// 2048-sample frames at a hop of 512. Their 21.5 Hz bins cannot tell 50 from 60 Hz, nor a line
// from broadband noise, so the detector merges the frames into stretches and measures each
// candidate and its neighbourhood in Hann-windowed segments of 16,384 samples (2.7 Hz bins at
// 44.1 kHz) by Goertzel's recurrence, averaging powers over the segments. A stretch of 8,192 to
// 16,384 samples is one segment of its own length; shorter ones count only when there is nothing
// longer, measured in the 16,384 samples centred on each.
//
// At other rates the segment keeps its length in seconds (segmentLength: the power of two
// nearest 0.37 s), so that its bins stay about 2.7 Hz wide and 50 Hz stays apart from 60 Hz.
// Measured with bench/engine/rate_scaling (30 s of speech over pink noise at -30 dBFS with a
// 50 Hz hum and its harmonics at -30 dBFS, lines found as a mask): with 16,384 samples at every
// rate, 0x3f from 8 to 96 kHz but only 0x1 at 192 kHz (11.7 Hz bins: 100 Hz and up were lost,
// and the pauses kept 12 dB more noise); with the segment scaled, 0x3f at every rate.
//
// Thread: any; several at once. Allocation: one segment of doubles and the segment list per call.

#include "engine/cleaner.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace taln {

class HumDetector {
public:
    static constexpr int kCandidates = 16;
    // The segment at 44.1 and 48 kHz.
    static constexpr std::int64_t kSegment = 16384;

    // The segment at `sampleRate`: 4,096 at 8 kHz ... 16,384 at 44.1 and 48 kHz ... 65,536 at
    // 176.4 and 192 kHz.
    static std::int64_t segmentLength(double sampleRate) noexcept;

    // Candidate i's frequency in Hz: bits 0-7 are 50 ... 400 Hz, bits 8-15 are 60 ... 480 Hz.
    static double candidateHz(int i) noexcept;

    struct Levels {
        // Each candidate's line level over its neighbourhood, in dB: the mean segment power at
        // the candidate over the median of the mean powers at eight neighbouring frequencies.
        // 0 for candidates at or above 0.45·sample rate or when there was nothing to measure.
        std::array<float, kCandidates> db{};
        // How many segments were averaged (at most 32).
        int segments = 0;
    };

    // `frames` index `samples` as in Cleaner::NoiseEstimate; frames past the end are ignored.
    // A channel shorter than half a segment is not measured.
    static Levels lineLevels(std::span<const float> samples, std::span<const std::int64_t> frames,
                             double sampleRate);

    // The candidates whose line stands clearly above its neighbourhood (the rule and its figures
    // are in hum_detector.cpp): a series only when its fundamental (50 or 60 Hz) stands out,
    // then those of its harmonics that do. 300 Hz, in both series, sets bit 5 when both series
    // are found.
    static Cleaner::HumMask detect(std::span<const float> samples,
                                   std::span<const std::int64_t> frames, double sampleRate);

    // The mains frequencies whose lines `found` holds, in Hz, ascending, whichever harmonics it
    // holds: {50}, {60} or {50, 60} (a series counts when any of its lines but 300 Hz is in the
    // mask); {300} when 300 Hz, shared by both series, is all there is; empty for no lines.
    static std::vector<int> mainsHz(Cleaner::HumMask found);
};

} // namespace taln
