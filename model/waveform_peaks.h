#pragma once

// WaveformPeaks: the reduction of audio to the waveform the lanes draw, and the scale both
// lanes share. Pure functions of their arguments; any thread.

#include "audio/channels.h"
#include "audio/chunked_audio.h"
#include "model/peak.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
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

// ---- A stretch of a track at any zoom -------------------------------------------------------
//
// Zoomed in, the lanes draw from peaks of just the stretch on screen, one per pixel column:
// on a 20-minute file the whole-file buckets are 1.7 s wide, a stretch of noise a bucket or
// two. Columns that span many frames read per-chunk summaries (SummaryCache), so a redraw
// reads the samples only at each column's two ends; narrower columns read the samples.

// A summary bucket's frames: 512 of them per chunk, so a column's ends cost at most 2 × 255
// frames per channel, and a chunk's summary (4 KiB) is under 1 % of its samples.
inline constexpr std::int64_t kSummaryFrames = 256;

// Per-chunk summaries of tracks: chunk c's buckets of kSummaryFrames frames over every
// channel (the last chunk's last bucket may be shorter), worked out on first use and kept while
// the chunk lives. Chunks are immutable, so a summary never goes stale; a cleaned piece brings
// new chunks, whose summaries are worked out when first drawn. A cache may serve several
// tracks (the original and the cleaned track share chunks until the first cleaning lands).
// Holds no audio: only weak references, to know a freed chunk from a new one at its address.
// Threads: one at a time (the window's main thread).
class SummaryCache {
public:
    // The summary of chunk `chunk` of `audio`.
    const std::vector<Peak>& of(const ChunkedAudio& audio, std::int64_t chunk);

    // Chunk summaries held, live or not yet dropped.
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::vector<std::weak_ptr<const float>> chunks; // one per channel
        std::vector<Peak> buckets;
    };
    std::unordered_map<const float*, Entry> entries_;
};

// The peaks of `columns` equal slices of frames [from, to) of `audio` (fractional frames allowed,
// clamped to the track): column c covers frames [⌊from + c·w⌋, ⌊from + (c + 1)·w⌋) with
// w = (to − from) / columns, at least one frame; a column past the track's end is {0, 0}. The
// same values as reading every sample: the summaries of `cache` cover the whole summary
// buckets inside a column, the samples its ends. Empty for columns <= 0 or an empty track.
std::vector<Peak> columnPeaks(const ChunkedAudio& audio, double from, double to,
                              std::int64_t columns, SummaryCache& cache);

// The largest magnitude of any peak, at least 0.0001 (so a silent file never divides by 0);
// 1 for no peaks.
float scaleOf(const std::vector<Peak>& peaks);

} // namespace taln::WaveformPeaks
