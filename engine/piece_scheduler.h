#pragma once

// PieceScheduler: every channel of a recording cleaned by pieces on a WorkerPool, the one way
// Taln does it: the window's cleaning runs (playhead first, each piece handed over as soon as
// it is done), taln-clean (in order, each stretch written while later pieces still clean) and
// the benchmarks.
//
// A job names the channels (whole, of equal length), what each is cleaned with, and its pieces
// in the order they are posted, which is the order policy: `inOrder` (from the start, cut so
// that the threads finish together) or `playheadFirst` (a small piece where the listener is,
// growing pieces to the end, then the stretch before it). Every channel of every piece is one
// task on the pool, so several pieces are in flight and every core works, even on a mono file.
// Each piece equals the same stretch of the whole-channel Cleaner::clean within 1e-6 relative
// RMS (CleaningPieces starts it a measured warm-up early).
//
// What comes out, through either callback or both:
// - `deliver`: each piece as soon as every channel of it is cleaned, on the thread that cleaned
//   its last channel; several pieces at once, in any order. It may take the piece's buffers
//   (move them out of Piece::channels); it must leave them when there is a writer.
// - `write`, the in-order writer: the stretches in position order, each as soon as it and every
//   stretch before it are cleaned (and delivered), while later pieces are still cleaning. It runs
//   on whichever pool thread finishes the stretch that is due, one thread at a time.
// A piece's buffers that are left after that serve later pieces: a run that only writes touches
// a few pieces' worth of new memory instead of a second copy of the recording.
//
// Failure and cancelling: the first exception of any task (a cleaning, out of memory, a
// delivery, a write) keeps every piece not yet begun from starting (a cleaning under way ends its
// piece) and is thrown on from `run` once every task has ended. Once `token` is cancelled the
// cleanings give up within 256 frames and nothing more is delivered or written.
//
// Units: samples of each channel at the job's rate; pieces are [begin, end) sample ranges.
// Threads: `run` from any thread that is not one of the pool's; it blocks until every piece is
// cleaned and handed over, or given up. The job's channels, noise and callbacks are only read.
// Memory: one float per sample of each piece in flight (or not yet written), allocated when its
// cleaning starts, plus what one Cleaner::clean of the piece and its warm-up needs.

#include "engine/cancel_token.h"
#include "engine/cleaner.h"
#include "engine/cleaning_pieces.h"
#include "engine/worker_pool.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace taln {

class NoiseTrack;

class PieceScheduler {
public:
    using Range = CleaningPieces::Range;

    // One channel and what it is cleaned with (Cleaner::clean's arguments of the same names).
    struct Input {
        std::span<const float> samples; // the whole channel
        std::span<const float> noise;   // its noise profile, 1025 bin powers
        const NoiseTrack* track = nullptr;
        Cleaner::HumMask hum = Cleaner::kNoHum;
        bool effects = false; // a channel of low-frequency effects
    };

    struct Job {
        std::vector<Input> channels;
        double sampleRate = 44100.0;
        float strength = 0.0f; // the engine's 0 ... 1
        Cleaner::Engine engine = Cleaner::kDefaultEngine;
        // Pieces that tile [0, n) exactly, in the order they are cleaned.
        std::vector<Range> pieces;
    };

    // A cleaned piece: which of the job's pieces it is, and each channel's samples over it.
    struct Piece {
        std::size_t index = 0;
        Range range;
        std::vector<std::vector<float>> channels;
    };

    using Deliver = std::function<void(Piece& piece)>;
    // `channels[c]` points at channel c's `frames` cleaned samples, valid during the call.
    using Write = std::function<void(std::span<const float* const> channels, std::int64_t frames)>;

    // The order for a whole recording cleaned and written from its start: the pieces of
    // CleaningPieces::splitForThreads, in position order.
    static std::vector<Range> inOrder(std::int64_t n, double sampleRate, int threads);

    // The order for a listener at `playhead`, in pieces of whole grains of `grain` samples (the
    // last grain may be short): from the grain the playhead is in (clamped into [0, n)) onward
    // to the end, the first piece `first` grains long and each next one twice the last, up to
    // `most` grains; then from the start up to that grain in pieces of `most` grains.
    static std::vector<Range> playheadFirst(std::int64_t n, std::int64_t playhead,
                                            std::int64_t grain, std::int64_t first,
                                            std::int64_t most);

    // Cleans `job` on `pool`, handing the pieces to `deliver` and the stretches to `write`
    // (either may be empty) as described above.
    static void run(WorkerPool& pool, const Job& job, const CancelToken& token,
                    const Deliver& deliver, const Write& write = {});
};

} // namespace taln
