#pragma once

// ChunkedAudio: one or two channels of 32-bit float samples at 44,100 Hz held as fixed-size,
// immutable chunks of kChunkFrames frames, so that a new cleaning can replace a stretch of a
// long recording without copying, or even touching, the rest of it.
//
// A ChunkedAudio value is a table: per channel, one pointer per chunk. The table itself is
// immutable and shared, so copying a ChunkedAudio copies one pointer; the original, the cleaned
// track, the player, an export snapshot and the waveform lanes all hold the same chunks.
// Replacing chunks (withPiece) makes a new table that points at the new chunks
// and at every other chunk of the old one: copy-on-write of the table (one pointer per three
// seconds of audio), never of samples.
//
// Chunks never own a copy of their samples: each is a shared_ptr aliasing a contiguous buffer
// (the decoder's Channels, or a cleaned piece) that it keeps alive. A buffer is freed when the
// last chunk pointing into it goes, so a cleaning that replaces whole pieces frees whole
// pieces; a piece that is replaced only in part keeps its buffer until the rest goes too.
// To free memory promptly, replace the same stretches a previous cleaning published.
//
// Layout: chunk i holds frames [i × kChunkFrames, (i + 1) × kChunkFrames); only the last chunk
// of a track may be shorter. All channels have the same frame count.
//
// Threads: a ChunkedAudio is a value; any thread may read it, and a copy may be handed to
// another thread. The audio callback reads chunk data through chunkData() only, which does no
// reference counting; the last copy of a table must be dropped off the audio thread (the
// player frees retired tables on the main thread).
//
// Errors: a call outside a track's frames or chunks, or a piece that does not fit the chunk
// grid, throws std::out_of_range or std::invalid_argument, naming the numbers.

#include "audio/channels.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace taln {

// 2^17 frames: 2.97 s at 44,100 Hz, 512 KiB per channel. Small enough that a cleaning piece of
// a few chunks reaches the listener within a fraction of a second and that a replaced chunk
// frees little at a time; large enough that the table of a 3-hour stereo recording is 2 × 3,634
// pointers and that a 1,024-frame device buffer crosses at most one chunk boundary. A power of
// two, so the audio callback finds a frame's chunk by a shift; a multiple of the engine's
// 512-frame hop, so a piece that starts on a chunk keeps the whole-channel frame grid.
inline constexpr int kChunkShift = 17;
inline constexpr std::int64_t kChunkFrames = std::int64_t{1} << kChunkShift;

// One chunk: its first sample. The chunk's length follows from the track (kChunkFrames, or the
// remainder for the last chunk).
using ChunkPtr = std::shared_ptr<const float>;

class ChunkedAudio {
public:
    // No channels, no frames.
    ChunkedAudio() = default;

    // The channels as chunks pointing into their own buffers: no sample is copied, and every
    // chunk keeps its channel's buffer alive. The frame count is that of the shortest channel
    // (a missing channel counts as empty).
    static ChunkedAudio fromChannels(const Channels& channels);

    int channelCount() const { return table_ ? static_cast<int>(table_->chunks.size()) : 0; }
    std::int64_t frameCount() const { return table_ ? table_->frames : 0; }
    bool empty() const { return frameCount() == 0; }
    std::int64_t chunkCount() const { return chunksFor(frameCount()); }

    // Chunks needed for `frames` frames; the chunk that holds `frame`; where chunk i begins.
    static constexpr std::int64_t chunksFor(std::int64_t frames) {
        return (frames + kChunkFrames - 1) >> kChunkShift;
    }
    static constexpr std::int64_t chunkOf(std::int64_t frame) { return frame >> kChunkShift; }
    static constexpr std::int64_t chunkStart(std::int64_t chunk) { return chunk << kChunkShift; }

    // Frames in chunk i: kChunkFrames except for a shorter last chunk.
    std::int64_t chunkFrames(std::int64_t chunk) const;

    // Chunk i of a channel, shared (for a caller that keeps it) or as its samples (for the audio
    // callback: no reference count changes). Bounds are the caller's to respect.
    const ChunkPtr& chunk(int channel, std::int64_t chunk) const {
        return table_->chunks[static_cast<std::size_t>(channel)][static_cast<std::size_t>(chunk)];
    }
    const float* chunkData(int channel, std::int64_t chunk) const {
        return this->chunk(channel, chunk).get();
    }

    // The same audio with chunks [first, first + n) of every channel replaced by the cleaned
    // piece `piece`: one buffer per channel, each n × kChunkFrames frames long, or reaching
    // exactly to the end of the track from chunk `first`, after `skip` leading frames that are
    // left out (the warm-up the engine ran before the piece, so its output needs no copy). The
    // new chunks point into the piece's buffers and keep them, the skipped frames included,
    // alive. Throws if the piece's channel count or length does not fit.
    ChunkedAudio withPiece(std::int64_t first, const Channels& piece, std::int64_t skip = 0) const;

    // Calls fn(const float* samples, std::int64_t count, std::int64_t firstFrame) for the
    // contiguous runs of frames [from, to) of a channel, in order, one per chunk touched: for
    // writing a file or computing peaks without a copy. Throws std::out_of_range unless
    // 0 ≤ from ≤ to ≤ frameCount() and the channel exists.
    template <class Fn>
    void forEachSpan(int channel, std::int64_t from, std::int64_t to, Fn&& fn) const {
        checkRange(channel, from, to);
        while (from < to) {
            const std::int64_t c = chunkOf(from);
            const std::int64_t offset = from - chunkStart(c);
            const std::int64_t count = std::min(to - from, kChunkFrames - offset);
            fn(chunkData(channel, c) + offset, count, from);
            from += count;
        }
    }

private:
    struct Table {
        std::int64_t frames = 0;
        std::vector<std::vector<ChunkPtr>> chunks; // [channel][chunk]
    };

    explicit ChunkedAudio(std::shared_ptr<const Table> table) : table_(std::move(table)) {}
    void checkRange(int channel, std::int64_t from, std::int64_t to) const;
    void checkChunks(std::int64_t first, std::int64_t last) const;

    std::shared_ptr<const Table> table_;
};

} // namespace taln
