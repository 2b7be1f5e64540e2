#pragma once

// NoiseChoice: the model's noise samples chosen and shown: measured from a stretch the user
// selected, merged into the stretches the window marks, and judged doubtful or not.
//
// Units: channel sample positions at 44,100 Hz. Threads: any; pure functions of their
// arguments. Allocation: the results.

#include "audio/channels.h"
#include "engine/cleaner.h"
#include "engine/noise_sample.h"

#include <QString>
#include <cstdint>
#include <vector>

namespace taln::NoiseChoice {

// Samples [first, last) of the loaded audio.
struct Stretch {
    std::int64_t first = 0;
    std::int64_t last = 0;
    friend bool operator==(const Stretch&, const Stretch&) = default;
};

// A chosen stretch must hold one whole analysis frame.
inline constexpr std::int64_t kShortestStretch = Cleaner::kFrameLength;

// The notice for a doubtful automatic sample, with what the user can do about it.
QString doubtfulNotice();
// The notice for a stretch shorter than kShortestStretch.
QString tooShortNotice();

// Every channel's averaged frames (2048 samples from each start), over all channels, merged
// into ascending runs that neither overlap nor touch.
std::vector<Stretch> runs(const std::vector<NoiseSample>& noise);

// Every channel's sample measured from `stretch` only, one thread per channel.
std::vector<NoiseSample> measure(const Channels& channels, double sampleRate, Stretch stretch);

// Whether any channel's sample is doubtful (NoiseSample::doubtful).
bool doubtful(const std::vector<NoiseSample>& noise);

} // namespace taln::NoiseChoice
