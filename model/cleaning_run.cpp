#include "model/cleaning_run.h"

#include "audio/audio_format.h"
#include "audio/chunked_audio.h"
#include "engine/piece_scheduler.h"
#include "model/waveform_peaks.h"

#include <memory>
#include <utility>

namespace taln::CleaningRun {

std::vector<ChunkSpan> plan(std::int64_t chunks, std::int64_t playheadChunk) {
    std::vector<ChunkSpan> spans;
    for (const CleaningPieces::Range piece :
         PieceScheduler::playheadFirst(chunks, playheadChunk, 1, kFirstPieceChunks, kPieceChunks)) {
        spans.push_back({piece.begin, piece.end});
    }
    return spans;
}

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

    const auto count = static_cast<int>(job.channels.size());
    PieceScheduler::Job cleaning;
    cleaning.sampleRate = job.sampleRate;
    cleaning.strength = job.strength;
    cleaning.engine = Cleaner::kDefaultEngine;
    for (int c = 0; c < count; ++c) {
        const NoiseSample& noise = job.noise[static_cast<std::size_t>(c)];
        cleaning.channels.push_back({*job.channels[static_cast<std::size_t>(c)], noise.profile,
                                     &noise.track, noise.hum,
                                     isLowFrequencyEffects(job.channelMask, count, c)});
    }
    cleaning.pieces = PieceScheduler::playheadFirst(n, job.playhead, kChunkFrames,
                                                    kFirstPieceChunks, kPieceChunks);
    // Each piece as soon as all its channels are done: its buffers become the piece's chunks.
    PieceScheduler::run(pool, cleaning, token, [&](PieceScheduler::Piece& cleaned) {
        const CleaningPieces::Range range = cleaned.range;
        Piece result;
        result.firstChunk = ChunkedAudio::chunkOf(range.begin);
        for (std::vector<float>& channel : cleaned.channels) {
            result.channels.push_back(std::make_shared<const Channel>(std::move(channel)));
        }
        const auto span = WaveformPeaks::inside(n, buckets, range.begin, range.end);
        result.firstBucket = span.first;
        result.peaks = WaveformPeaks::peaksOfPiece(result.channels, range.begin, n, buckets, span);
        deliver(std::move(result));
    });
}

} // namespace taln::CleaningRun
