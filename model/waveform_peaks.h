#pragma once

// WaveformPeaks: the reduction of audio to the waveform the lanes draw, and the scale both
// lanes share. Pure functions of their arguments; any thread.

#include "audio/channels.h"
#include "model/peak.h"

#include <cstdint>
#include <vector>

namespace taln::WaveformPeaks {

// The waveform resolution of both lanes, independent of the file's length.
inline constexpr std::int64_t kBuckets = 4096;

// Buckets over all channels. Bucket b covers the first channel's samples
// [b·n/buckets, max(b·n/buckets + 1, (b+1)·n/buckets)), so every bucket covers at least one
// sample; `lo` is the lowest sample (at most 0), `hi` the highest (at least 0), and a NaN
// sample changes neither. Empty for no channels, an empty first channel or buckets <= 0.
std::vector<Peak> peaks(const Channels& channels, std::int64_t buckets);

// The largest magnitude of any peak, at least 0.0001 (so a silent file never divides by 0);
// 1 for no peaks.
float scaleOf(const std::vector<Peak>& peaks);

} // namespace taln::WaveformPeaks
