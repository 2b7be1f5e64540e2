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

class WorkerPool;

struct NoiseSample {
    // 1025 bin powers: exactly estimateNoise of the stretch.
    std::vector<float> profile;
    // The hum lines found in the averaged frames; the pre-filter notches only these.
    Cleaner::HumMask hum = Cleaner::kNoHum;
    // Where the noise rose above the profile, for the adaptive engine: measured over the whole
    // channel for an automatic sample, empty for a stretch the user chose (its profile holds).
    NoiseTrack track;
    // First sample of each averaged 2048-sample frame, ascending, in channel positions; with a
    // track, then also those of the frames it followed a rise in (NoiseTrack::followedFrames),
    // all ascending: the frames the noise was taken from.
    std::vector<std::int64_t> frameStarts;
    // The averaged frames' mean energy over the median frame's (Cleaner::NoiseEstimate).
    float quietToMedian = 0.0f;
    // The averaged frames' mean energy over the energy of the frame at the 95th percentile of
    // the stretch's non-silent frames: near 1 when even the loud end of the recording is no
    // louder than its quietest frames (no real pauses). 0 when nothing was averaged.
    float quietToLoud = 0.0f;

    // Above this `quietToLoud` the averaged frames are not clearly quieter than the rest of the
    // recording: it has no real pauses and the profile holds voice or music as well as noise.
    // Measured (mono, white noise unless named), quietToLoud with quietToMedian in brackets:
    //   with pauses: tone bursts 0.0006 (0.0006), speech 0.001 (0.011), 4 s of noise then
    //   speech 0.001 (0.040), speech with its pauses trimmed 0.011 (0.094), plucked chords
    //   0.010 (0.10), fast speech without gaps 0.039 (0.18), speech at 6 dB SNR 0.090 (0.53),
    //   voice in half of every 2 s 0.005 (0.96), a burst in 5 % of the time 0.002 (0.96);
    //   without a pause: a chord with a deep tremolo 0.35 (0.56), pink noise alone 0.44
    //   (0.72), a chord held under noise 0.76 (0.85), white noise alone 0.93 (0.96).
    // The median fails where pauses fill most of the recording (its median frame is noise);
    // the 95th percentile stays in the voice or music while they fill at least 5 % of it.
    // 0.18 is the geometric middle of 0.090 and 0.35, 2.9 dB from each.
    static constexpr float kDoubtfulQuietToLoud = 0.18f;

    // Whether this sample, taken automatically, is doubtful (see kDoubtfulQuietToLoud). Noise
    // alone, or signal in less than 5 % of the frames, is doubtful too.
    bool doubtful() const { return quietToLoud > kDoubtfulQuietToLoud; }

    // The sample of channel samples [first, last) (clamped to the channel).
    static NoiseSample measure(std::span<const float> channel, double sampleRate,
                               std::int64_t first = 0,
                               std::int64_t last = std::numeric_limits<std::int64_t>::max());

    // The samples of several channels, each of its samples [first, last), measured in steps on
    // `pool`'s threads: each channel's frame energies summed in two halves at once (one with a
    // single thread), its frames chosen, then its profile, its hum lines and its noise track
    // found at once. Without a pool, the same steps in turn on this thread (what `measure`
    // does). Without `track`, no noise track (only the adaptive engine reads one). Each result
    // is measure's, bit for bit. Blocks; not from a thread of `pool`. The first exception of a
    // step is thrown on once every step has ended.
    static std::vector<NoiseSample> measureAll(std::span<const std::span<const float>> channels,
                                               double sampleRate, std::int64_t first,
                                               std::int64_t last, WorkerPool* pool,
                                               bool track = true);
};

} // namespace taln
