#pragma once

// CleaningRun: the background part of one cleaning job, playhead first.
//
// The recording is cleaned in pieces of whole chunks (ChunkedAudio's 2^17 frames): first a small
// piece at the play position, so the listener hears the new strength within a fraction of a
// second, then growing pieces onward to the end, then the stretch before the play position. Each
// piece equals the same stretch of the whole-channel clean within 1e-6 (CleaningPieces starts it
// a measured warm-up early). The engine's PieceScheduler runs every channel of every piece as one
// task on a WorkerPool sized to the machine, so several pieces are in flight and every core
// works, even on a mono file. A piece is handed over as soon as all its channels are done, with
// the waveform buckets that lie wholly inside it; the caller replaces the cleaned track's chunks
// with it.
//
// Units: samples at the recording's rate; `strength` is the engine's 0 ... 1 (the slider's
// percent / 100).
// Threads: `run` on any thread that is not one of the pool's; it blocks until every piece has
// been cleaned or given up. `deliver` is called on the pool's threads, one piece at a time per
// piece but several pieces at once. Reads only its arguments (shared, immutable channel
// buffers and noise samples) and the token.
// Memory: each task holds its piece's output (one float per frame) and what one engine call on
// the piece and its warm-up needs; a piece's buffers belong to the delivered Piece.

#include "audio/channels.h"
#include "engine/cancel_token.h"
#include "engine/noise_sample.h"
#include "engine/worker_pool.h"
#include "model/peak.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace taln::CleaningRun {

// Chunks [first, last) of the track.
struct ChunkSpan {
    std::int64_t first = 0;
    std::int64_t last = 0;
    friend bool operator==(const ChunkSpan&, const ChunkSpan&) = default;
};

// The first piece: two chunks (5.9 s) from the one the playhead is in. Cleaning it with its
// warm-up is about 11 s of audio per channel, some 30 ms of one core, so the new strength is
// heard well within 0.4 s of the change; two chunks leave at least 3 s before the playhead
// reaches the next piece.
inline constexpr std::int64_t kFirstPieceChunks = 2;
// The pieces after it double up to this size (24 chunks, 71 s), where the 4.75 s warm-up each
// piece cleans in vain costs under 7 % of the work.
inline constexpr std::int64_t kPieceChunks = 24;

// The pieces of a track of `chunks` chunks, in the order they are cleaned: from the chunk of
// `playheadChunk` (clamped into the track) onward to the end, then from the start up to it.
// They tile [0, chunks) exactly.
std::vector<ChunkSpan> plan(std::int64_t chunks, std::int64_t playheadChunk);

// One cleaned piece: the frames of chunks [firstChunk, firstChunk + chunks) of every channel,
// and the waveform buckets [firstBucket, firstBucket + peaks.size()) that lie wholly inside it
// (of WaveformPeaks::kBuckets over the whole track).
struct Piece {
    std::int64_t firstChunk = 0;
    Channels channels;
    std::int64_t firstBucket = 0;
    std::vector<Peak> peaks;
};

struct Job {
    Channels channels;              // the original, every channel the same length
    double sampleRate = 44100.0;    // of the channels
    std::uint64_t channelMask = 0;  // their layout (0: the standard one for the count)
    std::vector<NoiseSample> noise; // one per channel
    float strength = 0.0f;
    std::int64_t playhead = 0; // frame the listener is at
};

// Cleans `job` on `pool`, calling `deliver` with each finished piece. A strength not above 0
// gives the original back as one piece (its own buffers, no copy). Stops early, delivering
// nothing more, once `token` is cancelled or `deliver` has thrown; the first exception thrown by
// `deliver` or by the cleaning is thrown on from here once every task has ended.
void run(WorkerPool& pool, const Job& job, const CancelToken& token,
         const std::function<void(Piece)>& deliver);

} // namespace taln::CleaningRun
