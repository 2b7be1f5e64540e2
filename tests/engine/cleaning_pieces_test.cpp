#include "engine/cleaning_pieces.h"
#include "engine/piece_scheduler.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace taln {
namespace {

constexpr double kRate = 44100.0;

// Pieces must equal the whole run within 1e-6 relative RMS: the warm-up leaves a few 1e-8 of
// single-precision rounding, so anything near the bar is history the warm-up did not cover.
constexpr double kBar = 1e-6;

double relativeRms(std::span<const float> got, std::span<const float> want) {
    double err = 0.0;
    double ref = 0.0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const double d = static_cast<double>(got[i]) - want[i];
        err += d * d;
        ref += static_cast<double>(want[i]) * want[i];
    }
    return ref > 0.0 ? std::sqrt(err / ref) : std::sqrt(err);
}

// Speech-like over noise, or (speech = false) a 50 Hz hum tone with harmonics over faint noise:
// there the notches' settling is nearly all that the output holds.
std::vector<float> channel(std::int64_t n, bool speech) {
    std::vector<float> x =
        speech ? testsignals::speechLike(n, kRate, 31) : testsignals::whiteNoise(n, 0.005f, 32);
    for (std::int64_t i = 0; i < n; ++i) {
        const double phase = 2.0 * std::numbers::pi * 50.0 * static_cast<double>(i) / kRate;
        x[static_cast<std::size_t>(i)] +=
            static_cast<float>(0.1 * std::sin(phase) + 0.03 * std::sin(3.0 * phase + 1.0));
    }
    return x;
}

// Cleans [0, n) by the pieces between `cuts` (one at a time, last first, each from its own copy
// of the input it asked for) and returns the assembly.
std::vector<float> byPieces(const std::vector<float>& x, const std::vector<std::int64_t>& cuts,
                            const std::vector<float>& noise, float strength) {
    const auto n = static_cast<std::int64_t>(x.size());
    std::vector<float> out(x.size(), std::nanf(""));
    const CancelToken token;
    for (std::size_t i = cuts.size() - 1; i-- > 0;) {
        const CleaningPieces::Range piece{cuts[i], cuts[i + 1]};
        const std::int64_t first = CleaningPieces::inputBegin(piece.begin, kRate);
        const std::vector<float> input(x.begin() + first,
                                       x.begin() + CleaningPieces::inputEnd(piece.end, n));
        EXPECT_TRUE(CleaningPieces::clean(
            input, piece, n, std::span<float>(out).subspan(piece.begin, piece.end - piece.begin),
            noise, strength, kRate, token));
    }
    return out;
}

TEST(CleaningPieces, AssembledPiecesEqualTheWholeRun) {
    constexpr std::int64_t kSyllable = 11025;  // the speech-like signal's 0.25 s
    constexpr std::int64_t kLong = 20 * 44100; // pieces from 6 s on get the whole warm-up
    struct Case {
        const char* what;
        std::int64_t n;
        bool speech;
        std::vector<std::int64_t> cuts;
    };
    const Case cases[] = {
        {"inside syllables",
         kLong,
         true,
         {0, 24 * kSyllable + 5000, 41 * kSyllable + 4321, 58 * kSyllable + 7777, kLong}},
        {"on the hum tone, off and on the hop",
         kLong,
         false,
         {0, 6 * 44100 + 333, 11 * 44100, 15 * 44100 + 1, kLong}},
        {"first and last frames",
         kLong,
         true,
         {0, 1, 2048, 8 * 44100, kLong - 2048, kLong - 1, kLong}},
        {"channel shorter than a piece's input", 30000, true, {0, 700, 29000, 30000}},
        {"channel shorter than a frame", 1500, true, {0, 1000, 1500}},
    };
    for (const Case& c : cases) {
        const std::vector<float> x = channel(c.n, c.speech);
        const std::vector<float> noise = Cleaner::estimateNoise(x);
        for (const float s : {0.05f, 1.0f}) {
            const CancelToken token;
            const std::vector<float> whole = *Cleaner::clean(x, noise, s, kRate, token);
            const std::vector<float> got = byPieces(x, c.cuts, noise, s);
            // Each piece on its own: an error at the start of a piece can hide in the whole.
            for (std::size_t i = 0; i + 1 < c.cuts.size(); ++i) {
                const auto at = static_cast<std::size_t>(c.cuts[i]);
                const auto length = static_cast<std::size_t>(c.cuts[i + 1] - c.cuts[i]);
                EXPECT_LT(relativeRms(std::span(got).subspan(at, length),
                                      std::span(whole).subspan(at, length)),
                          kBar)
                    << c.what << ", strength " << s << ", piece at " << at;
            }
            EXPECT_LT(relativeRms(got, whole), kBar) << c.what << ", strength " << s;
        }
    }
}

TEST(CleaningPieces, PieceCountsKeepThreadsBusyWithoutShortPieces) {
    const auto minutes = [](double m) { return static_cast<std::int64_t>(m * 60.0 * kRate); };
    struct Case {
        std::int64_t n;
        int threads;
        std::int64_t count;
    };
    const Case cases[] = {
        {0, 2, 0},
        {1, 4, 1},
        {minutes(0.5), 2, 1},   // two pieces of 15 s would be mostly warm-up
        {minutes(1.5), 2, 2},   // 75 s begun twice
        {minutes(10), 1, 8},    // 75 s each
        {minutes(10), 2, 8},    // already even
        {minutes(11), 2, 10},   // 66 s each rather than one thread cleaning a piece alone
        {minutes(6), 4, 5},     // eight pieces would be 45 s
        {minutes(180), 3, 144}, // three hours
    };
    for (const Case& c : cases) {
        const std::int64_t count = CleaningPieces::pieceCount(c.n, kRate, c.threads);
        EXPECT_EQ(count, c.count) << c.n << " samples on " << c.threads << " threads";
        // The pieces tile the channel, in order, lengths within one sample of each other; for
        // threads taking them in order, the last `threads` are half as long as the others
        // wherever every thread has two pieces.
        const bool halved = c.threads > 1 && count >= 2 * c.threads;
        const double halves = halved ? 2.0 * double(count) - c.threads : 2.0 * double(count);
        for (const bool forThreads : {false, true}) {
            const auto pieces = forThreads ? CleaningPieces::splitForThreads(c.n, kRate, c.threads)
                                           : CleaningPieces::split(c.n, count);
            ASSERT_EQ(static_cast<std::int64_t>(pieces.size()), c.count);
            std::int64_t at = 0;
            for (std::int64_t i = 0; i < count; ++i) {
                const auto& piece = pieces[static_cast<std::size_t>(i)];
                const bool half = forThreads && halved && i >= count - c.threads;
                const double expected = forThreads ? double(c.n) * (half ? 1.0 : 2.0) / halves
                                                   : double(c.n) / double(count);
                EXPECT_EQ(piece.begin, at);
                EXPECT_LE(std::abs(double(piece.end - piece.begin) - expected), 1.0)
                    << "piece " << i << (forThreads ? " for threads" : "");
                at = piece.end;
            }
            EXPECT_EQ(at, c.n);
        }
    }
}

// Two channels of 100 s (two pieces each, the second warmed up) on one and two threads: the
// in-order writer gets the stretches in order, assembling to the single run; every piece is
// delivered once; a cancelled token writes nothing; a writer's error comes back from run.
TEST(PieceScheduler, WritesInOrderWhatTheSingleRunGivesAndStopsOnCancelOrError) {
    const std::vector<float> x[] = {channel(100 * 44100, true), channel(100 * 44100, false)};
    std::vector<float> noise[2];
    std::vector<float> whole[2];
    const CancelToken token;
    PieceScheduler::Job job;
    job.sampleRate = kRate;
    job.strength = 0.6f;
    job.engine = Cleaner::Engine::reference;
    for (std::size_t c = 0; c < 2; ++c) {
        noise[c] = Cleaner::estimateNoise(x[c]);
        whole[c] = *Cleaner::clean(x[c], noise[c], 0.6f, kRate, token);
        job.channels.push_back({x[c], noise[c], nullptr, Cleaner::kAllHum, false});
    }
    for (const int threads : {1, 2}) {
        WorkerPool pool(threads);
        job.pieces = PieceScheduler::inOrder(100 * 44100, kRate, threads);
        std::vector<float> got[2];
        std::atomic<std::size_t> delivered{0};
        const auto write = [&](std::span<const float* const> frames, std::int64_t n) {
            for (std::size_t c = 0; c < 2; ++c) {
                got[c].insert(got[c].end(), frames[c], frames[c] + n);
            }
        };
        PieceScheduler::run(
            pool, job, token, [&](PieceScheduler::Piece&) { delivered.fetch_add(1); }, write);
        EXPECT_EQ(delivered.load(), job.pieces.size());
        for (std::size_t c = 0; c < 2; ++c) {
            ASSERT_EQ(got[c].size(), whole[c].size());
            EXPECT_LT(relativeRms(got[c], whole[c]), kBar) << threads << " threads";
        }
        CancelToken cancelled;
        cancelled.cancel();
        PieceScheduler::run(pool, job, cancelled, {}, [](auto, auto) { ADD_FAILURE(); });
        EXPECT_THROW(PieceScheduler::run(pool, job, token, {},
                                         [](auto, auto) { throw std::runtime_error("full"); }),
                     std::runtime_error);
    }
}

TEST(PieceScheduler, PlayheadFirstCleansFromThePlayheadOnThenTheStart) {
    using Ranges = std::vector<CleaningPieces::Range>;
    struct Case {
        std::int64_t n;
        std::int64_t playhead;
        Ranges pieces; // grains of 10 samples, the first piece 1 grain, at most 4
    };
    const Case cases[] = {
        {0, 0, {}},
        {95, 0, {{0, 10}, {10, 30}, {30, 70}, {70, 95}}},
        {95, 94, {{90, 95}, {0, 40}, {40, 80}, {80, 90}}},
        {95, 500, {{90, 95}, {0, 40}, {40, 80}, {80, 90}}},
        {95, 35, {{30, 40}, {40, 60}, {60, 95}, {0, 30}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PieceScheduler::playheadFirst(c.n, c.playhead, 10, 1, 4), c.pieces)
            << c.n << " samples, playhead " << c.playhead;
    }
}

TEST(WorkerPool, GroupWaitsForEveryTaskAndHandsBackTheFirstError) {
    WorkerPool pool(3);
    std::atomic<int> ran{0};
    WorkerPool::TaskGroup group(pool);
    for (int i = 0; i < 200; ++i) {
        group.run([&ran, i] {
            ran.fetch_add(1);
            if (i == 50) {
                throw std::runtime_error("piece 50 failed");
            }
        });
    }
    EXPECT_THROW(group.wait(), std::runtime_error);
    EXPECT_EQ(ran.load(), 200); // the error stopped none of the others
    group.wait();               // handed back once
}

} // namespace
} // namespace taln
