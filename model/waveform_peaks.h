#pragma once

// WaveformPeaks: the reduction of audio to the waveform the lanes draw, and the scale both
// lanes share. Pure functions of their arguments; any thread.

#include "audio/channels.h"
#include "audio/chunked_audio.h"
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

// Buckets [first, last) of `buckets` over a track.
struct BucketSpan {
    std::int64_t first = 0;
    std::int64_t last = 0;
    friend bool operator==(const BucketSpan&, const BucketSpan&) = default;
};

// The frames [bucketStart, bucketEnd) bucket b covers in a track of n frames, as peaks() has them.
std::int64_t bucketStart(std::int64_t b, std::int64_t n, std::int64_t buckets);
std::int64_t bucketEnd(std::int64_t b, std::int64_t n, std::int64_t buckets);

// The buckets that share a frame with [from, to) (those a change of these frames changes), and
// those that lie wholly inside it (those these frames alone decide).
BucketSpan touching(std::int64_t n, std::int64_t buckets, std::int64_t from, std::int64_t to);
BucketSpan inside(std::int64_t n, std::int64_t buckets, std::int64_t from, std::int64_t to);

// The peaks of buckets `span` of a track of n frames, from `piece`: the track's frames
// [pieceStart, pieceStart + frameCount(piece)), which must hold every frame of those buckets.
std::vector<Peak> peaksOfPiece(const Channels& piece, std::int64_t pieceStart, std::int64_t n,
                               std::int64_t buckets, BucketSpan span);

// Recomputes buckets `span` of `peaks` (`peaks.size()` buckets over `audio`) from `audio`.
void refresh(std::vector<Peak>& peaks, const ChunkedAudio& audio, BucketSpan span);

// Brings `peaks` (`peaks.size()` buckets over `audio`) up to date after frames [from, to) of
// `audio` changed: the buckets wholly inside come as `inside`, from bucket `firstInside` on
// (peaksOfPiece of the new frames); the one or two shared with the neighbours are read from
// `audio`.
void patch(std::vector<Peak>& peaks, const ChunkedAudio& audio, std::int64_t from, std::int64_t to,
           std::int64_t firstInside, const std::vector<Peak>& inside);

// The largest magnitude of any peak, at least 0.0001 (so a silent file never divides by 0);
// 1 for no peaks.
float scaleOf(const std::vector<Peak>& peaks);

} // namespace taln::WaveformPeaks
