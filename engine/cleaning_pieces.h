#pragma once

// CleaningPieces: one channel cleaned piece by piece, each piece equal to the same stretch of the
// single whole-channel `Cleaner::clean` (within 1e-6 relative RMS), so that pieces can run on
// several threads, in any order, playhead first, and be assembled into the whole.
//
// Why a piece needs more input than itself: the cleaner's output depends on history (the
// pre-filter's recursive state, the gains smoothed over time, the ring of lagged frame powers)
// and on one frame of future (a sample lies in four 2048-sample frames). A piece [begin, end) of
// a channel of n samples is therefore cleaned from the input [inputBegin(begin), inputEnd(end, n)):
// a warm-up earlier, on the whole run's 512-sample frame grid (frames start at 512·t − 2048), so
// the piece's frames are the whole run's frames; and one frame (2048 samples) later, clamped to
// n. Over the warm-up the history converges to the whole run's; the output there is dropped.
//
// The warm-up, measured by bench/engine/piece_warm_up.cpp with every hum notch on (the 50 Hz
// notch, 1.7 Hz wide, settles slowest) on two 60-second channels at 44.1 kHz: speech-like over
// noise with a strong 50/60 Hz hum, and a hum tone over faint noise (the hardest: once the hum is
// notched out the output is faint, and the notches' settling is measured against it). Worst
// relative RMS error among 24 one-second pieces against the same stretch of the whole run:
//
//     warm-up   speech, noise and hum         hum tone over faint noise
//     (s)       s=0.05   s=0.6    s=1.0       s=0.05   s=0.6    s=1.0
//     0         4.1e-02  2.3e-01  2.2e-01     7.7e-02  4.0e+00  4.9e+00
//     0.5       1.3e-08  2.8e-04  8.2e-05     4.7e-09  1.9e-02  1.9e-03
//     1.0       1.3e-08  1.5e-05  1.1e-06     4.5e-09  1.3e-03  1.2e-04
//     2.0       9.4e-09  1.3e-07  1.0e-07     4.5e-09  6.9e-06  9.0e-07
//     3.0       1.3e-08  7.5e-08  6.5e-08     6.4e-09  2.3e-07  5.4e-07
//     4.0       9.4e-09  3.8e-08  1.9e-08     6.3e-09  1.3e-07  2.7e-07
//     4.5       2.3e-09  2.1e-08  2.2e-08     8.5e-09  8.0e-08  8.0e-08
//     5.0       1.3e-08  1.6e-08  2.1e-08     3.6e-09  5.9e-08  8.1e-08
//     10.0      9.3e-09  2.6e-08  1.6e-08     3.4e-09  6.1e-08  7.9e-08
//
// Without notches (s = 0.05) the history is forgotten within 0.5 s, about 43 hops: the gain
// smoothing and the lag ring. With them the hum tone needs about 4.5 s to reach the
// single-precision floor (6e-8 to 8e-8 there). Taken with a margin: 4 s for the notches plus 64
// hops for the gains, 4.75 s in all at 44.1 kHz, where the worst error is below 1e-7, a tenth of
// the 1e-6 bar.
//
// The adaptive engine's gains forget their start within a few dozen frames, inside the same
// warm-up, and its noise comes from a NoiseTrack of the whole channel, looked up by channel
// position: a piece's noise is the whole run's.
//
// Any pieces that tile [0, n) assemble into the whole; they need not line up with anything, and
// each can be cleaned alone, in any order, on any thread.
//
// Units: samples of one channel; positions and lengths are std::int64_t sample indices in the
// whole channel. The warm-up is kWarmUpSeconds of audio (the notches settle in a time set by
// their width in Hz) plus kWarmUpFrames hops (the gains settle in a number of frames), rounded
// up to the hop.
//
// A caller that holds the channel whole passes it to `cleanInChannel`, which takes the piece's
// input from it; one that holds it otherwise (in chunks, say) asks for the input range with
// `inputBegin` / `inputEnd`, gathers that range into one contiguous buffer and passes it to
// `clean`. Either way the result lands in the caller's `out` (one float per piece sample).
// PieceScheduler runs the pieces of whole recordings on a WorkerPool.
//
// Threads: every operation may be called from any thread, several at once. Allocation: `clean`
// allocates what one `Cleaner::clean` of its input does (one float per input sample plus a few
// frames).

#include "engine/cancel_token.h"
#include "engine/cleaner.h"

#include <cstdint>
#include <span>
#include <vector>

namespace taln {

class CleaningPieces {
public:
    // The measured warm-up (see the table above): the notches settle in a time set by their
    // width in Hz, the gains in a number of hops, so the two parts scale differently with the
    // sample rate.
    static constexpr double kWarmUpSeconds = 4.0;
    static constexpr std::int64_t kWarmUpFrames = 64;

    // Whole channels are cut into pieces of about 75 s: each piece after the first cleans one
    // warm-up more, 4.75 s, so the extra work stays near 6 %.
    static constexpr double kPieceSeconds = 75.0;
    // No piece shorter than this just to give every thread a piece (warm-up overhead < 10 %).
    static constexpr double kMinPieceSeconds = 50.0;

    // A piece of a channel: samples [begin, end).
    struct Range {
        std::int64_t begin = 0;
        std::int64_t end = 0;
        friend bool operator==(const Range&, const Range&) = default;
    };

    // Warm-up in samples at `sampleRate`, a multiple of Cleaner::kHop.
    static std::int64_t warmUp(double sampleRate);

    // First input sample needed to clean a piece starting at `begin`: a multiple of the hop,
    // at least the warm-up before `begin`, and never below 0.
    static std::int64_t inputBegin(std::int64_t begin, double sampleRate);

    // One past the last input sample needed to clean a piece ending at `end` of a channel of
    // `n` samples: end + 2048, at most n.
    static std::int64_t inputEnd(std::int64_t end, std::int64_t n);

    // Cleans `piece` of a channel of `n` samples into `out` (piece.end − piece.begin floats) and
    // returns true, or returns false as soon as `token` is cancelled (`out` then holds nothing
    // meaningful). `input` is the channel's samples [inputBegin(piece.begin, sampleRate),
    // inputEnd(piece.end, n)). The other arguments are those of Cleaner::clean, which this equals
    // over the piece. A piece outside [0, n), an input or output of the wrong size, and the
    // preconditions of Cleaner::clean stop the program (the caller's fault).
    static bool clean(std::span<const float> input, Range piece, std::int64_t n,
                      std::span<float> out, std::span<const float> noise, float strength,
                      double sampleRate, const CancelToken& token,
                      Cleaner::HumMask hum = Cleaner::kAllHum,
                      Cleaner::Engine engine = Cleaner::Engine::reference,
                      const NoiseTrack* track = nullptr, bool effects = false);

    // The same for a channel held whole: `channel` is all n samples, and the piece's input is
    // taken from it. `out` holds piece.end − piece.begin floats.
    static bool cleanInChannel(std::span<const float> channel, Range piece, std::span<float> out,
                               std::span<const float> noise, float strength, double sampleRate,
                               const CancelToken& token, Cleaner::HumMask hum = Cleaner::kAllHum,
                               Cleaner::Engine engine = Cleaner::Engine::reference,
                               const NoiseTrack* track = nullptr, bool effects = false);

    // [0, n) cut into `count` pieces of nearly equal length (they differ by at most a sample), in
    // order; no piece for n = 0, and never more pieces than samples. `count` below 1 counts as 1.
    static std::vector<Range> split(std::int64_t n, std::int64_t count);

    // How many pieces a whole channel of `n` samples is cleaned in on `threads` threads: one per
    // kPieceSeconds begun, raised to a multiple of `threads` (so that the threads finish
    // together) as long as the pieces stay at least kMinPieceSeconds long.
    static std::int64_t pieceCount(std::int64_t n, double sampleRate, int threads);
    // The pieces a whole channel of `n` samples is cleaned in by `threads` threads that take them
    // in order: pieceCount of them, the last `threads` half as long as the others. A thread that
    // finds no piece left waits for the others' last ones, and the stretch written last is written
    // after all the cleaning; shorter last pieces shorten both, with no more warm-ups. With one
    // thread, or fewer than two pieces a thread, split(n, pieceCount(...)).
    static std::vector<Range> splitForThreads(std::int64_t n, double sampleRate, int threads);
};

} // namespace taln
