#include "model/cleaning_run.h"

#include "audio/audio_format.h"

#include "audio/chunked_audio.h"
#include "engine/cleaning_pieces.h"
#include "model/waveform_peaks.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <span>

namespace taln::CleaningRun {

std::vector<ChunkSpan> plan(std::int64_t chunks, std::int64_t playheadChunk) {
    std::vector<ChunkSpan> pieces;
    if (chunks <= 0) {
        return pieces;
    }
    const std::int64_t playhead = std::clamp<std::int64_t>(playheadChunk, 0, chunks - 1);
    std::int64_t size = kFirstPieceChunks;
    for (std::int64_t first = playhead; first < chunks;) {
        const std::int64_t last = std::min(chunks, first + size);
        pieces.push_back({first, last});
        first = last;
        size = std::min(kPieceChunks, 2 * size);
    }
    for (std::int64_t first = 0; first < playhead;) {
        const std::int64_t last = std::min(playhead, first + kPieceChunks);
        pieces.push_back({first, last});
        first = last;
    }
    return pieces;
}

namespace {

// What the tasks of one piece share: one slot per channel, filled by that channel's task, and
// the count of channels still cleaning; the task that brings it to 0 delivers the piece.
struct PieceState {
    ChunkSpan chunks;
    std::vector<std::shared_ptr<Channel>> slots;
    std::atomic<int> remaining{0};
};

} // namespace

void run(WorkerPool& pool, const Job& job, const CancelToken& token,
         const std::function<void(Piece)>& deliver) {
    const std::int64_t n = frameCount(job.channels);
    if (job.channels.empty() || n <= 0 || job.noise.size() != job.channels.size()) {
        return;
    }
    const auto buckets = WaveformPeaks::kBuckets;

    // The engine gives a strength that is not above 0 back unchanged: share the original
    // buffers instead of copying them.
    if (!(job.strength > 0.0f)) {
        if (!token.cancelled()) {
            const WaveformPeaks::BucketSpan all{0, buckets};
            deliver(Piece{0, job.channels, 0,
                          WaveformPeaks::peaksOfPiece(job.channels, 0, n, buckets, all)});
        }
        return;
    }

    const auto channelCount = static_cast<int>(job.channels.size());
    // Set when a task threw: the other pieces stop, the run reports the failure.
    auto failed = std::make_shared<std::atomic<bool>>(false);
    const auto stopped = [&token, failed] {
        return token.cancelled() || failed->load(std::memory_order_relaxed);
    };

    std::vector<std::unique_ptr<PieceState>> states;
    WorkerPool::TaskGroup group(pool);
    try {
        for (const ChunkSpan span :
             plan(ChunkedAudio::chunksFor(n), ChunkedAudio::chunkOf(job.playhead))) {
            auto state = std::make_unique<PieceState>();
            state->chunks = span;
            state->slots.resize(job.channels.size());
            state->remaining.store(channelCount, std::memory_order_relaxed);
            PieceState* piece = state.get();
            states.push_back(std::move(state));
            for (int c = 0; c < channelCount; ++c) {
                group.run([&, piece, c, failed] {
                    if (stopped()) {
                        return;
                    }
                    try {
                        const auto index = static_cast<std::size_t>(c);
                        const CleaningPieces::Range range{
                            ChunkedAudio::chunkStart(piece->chunks.first),
                            std::min(n, ChunkedAudio::chunkStart(piece->chunks.last))};
                        auto out = std::make_shared<Channel>(
                            static_cast<std::size_t>(range.end - range.begin));
                        const bool done = CleaningPieces::cleanInChannel(
                            *job.channels[index], range, *out, job.noise[index].profile,
                            job.strength, job.sampleRate, token, job.noise[index].hum,
                            Cleaner::kDefaultEngine, &job.noise[index].track,
                            isLowFrequencyEffects(job.channelMask, channelCount, c));
                        if (!done) {
                            return;
                        }
                        piece->slots[index] = std::move(out);
                        if (piece->remaining.fetch_sub(1, std::memory_order_acq_rel) != 1 ||
                            stopped()) {
                            return;
                        }
                        // The last channel of the piece: hand the whole piece over.
                        Piece result;
                        result.firstChunk = piece->chunks.first;
                        result.channels.assign(piece->slots.begin(), piece->slots.end());
                        piece->slots.clear();
                        const auto span = WaveformPeaks::inside(n, buckets, range.begin, range.end);
                        result.firstBucket = span.first;
                        result.peaks = WaveformPeaks::peaksOfPiece(result.channels, range.begin, n,
                                                                   buckets, span);
                        deliver(std::move(result));
                    } catch (...) {
                        failed->store(true, std::memory_order_relaxed);
                        throw;
                    }
                });
            }
        }
    } catch (...) {
        // Posting failed (out of memory): let the posted tasks stop, then report.
        failed->store(true, std::memory_order_relaxed);
        group.wait();
        throw;
    }
    group.wait();
}

} // namespace taln::CleaningRun
