#pragma once

// NoiseSample: what the cleaner takes as one channel's noise, with where it came from. The
// profile is estimateNoise over a stretch of the channel (the whole channel by default, or a
// stretch the user chose); the hum lines are those HumDetector finds in the frames that profile
// averaged; the frames are kept, in channel positions, so that the window can mark them.
//
// Units: samples of one channel at `sampleRate` Hz; frame starts are sample indices of the whole
// channel. Thread: any, several at once. Allocation: the result's arrays.

#include "engine/cleaner.h"

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace taln {

struct NoiseSample {
    // 1025 bin powers: exactly estimateNoise of the stretch.
    std::vector<float> profile;
    // The hum lines found in the averaged frames; the pre-filter notches only these.
    Cleaner::HumMask hum = Cleaner::kNoHum;
    // First sample of each averaged 2048-sample frame, ascending, in channel positions.
    std::vector<std::int64_t> frameStarts;
    // The averaged frames' mean energy over the median frame's (Cleaner::NoiseEstimate).
    float quietToMedian = 0.0f;

    // Above this `quietToMedian` the averaged frames are not clearly quieter than the rest of
    // the recording: it has no real pauses and the profile holds voice or music as well as
    // noise. Measured (mono, white noise unless named): with pauses, 0.0006 for tone bursts,
    // 0.01 for speech, 0.04 for 4 s of noise then speech, 0.09 for speech with its pauses
    // trimmed, 0.10 for plucked chords, 0.18 for fast speech without gaps, 0.24 for 4 s of
    // noise then bursts, 0.53 for speech at 6 dB SNR; without a pause, 0.72 for pink noise
    // alone, 0.85 for a chord held under noise, 0.96 for white noise alone. 0.62 is the
    // geometric middle of 0.53 and 0.72 (0.7 dB from each). A chord with a deep tremolo (0.56)
    // falls below it: loud music that swells and fades passes for a recording with pauses.
    static constexpr float kDoubtfulQuietToMedian = 0.62f;

    // The words the window and taln-clean show for a doubtful automatic sample.
    static constexpr const char* kDoubtfulWarning =
        "The quietest parts of this recording are hardly quieter than the rest, so the noise "
        "Taln removes may include some of the voice or music.";

    // Whether this sample, taken automatically, is doubtful (see kDoubtfulQuietToMedian).
    bool doubtful() const { return quietToMedian > kDoubtfulQuietToMedian; }

    // The sample of channel samples [first, last) (clamped to the channel).
    static NoiseSample measure(std::span<const float> channel, double sampleRate,
                               std::int64_t first = 0,
                               std::int64_t last = std::numeric_limits<std::int64_t>::max());
};

} // namespace taln
