#include "engine/piece_scheduler.h"

#include "engine/precondition.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <numeric>
#include <utility>

namespace taln {

namespace {

// What the tasks of one run share. Piece k's channels are cleaned by one task each; the task
// that brings left[k] to 0 delivers the piece and, with a writer, marks it ready to write.
class Run {
public:
    Run(const PieceScheduler::Job& job, const CancelToken& token,
        const PieceScheduler::Deliver& deliver, const PieceScheduler::Write& write)
        : job_(job), token_(token), deliver_(deliver), write_(write), pieces_(job.pieces.size()),
          left_(job.pieces.size()), ready_(job.pieces.size()), order_(job.pieces.size()),
          frames_(job.channels.size()) {
        for (std::size_t k = 0; k < pieces_.size(); ++k) {
            pieces_[k].index = k;
            pieces_[k].range = job.pieces[k];
            pieces_[k].channels.resize(job.channels.size());
            left_[k].store(job.channels.size(), std::memory_order_relaxed);
        }
        // The writer's order: by position.
        std::iota(order_.begin(), order_.end(), std::size_t{0});
        std::sort(order_.begin(), order_.end(), [&job](std::size_t a, std::size_t b) {
            return job.pieces[a].begin < job.pieces[b].begin;
        });
    }

    void clean(std::size_t c, std::size_t k) {
        if (stopped()) {
            return;
        }
        try {
            PieceScheduler::Piece& piece = pieces_[k];
            std::vector<float>& out = piece.channels[c];
            out = acquire(piece.range.end - piece.range.begin);
            const PieceScheduler::Input& in = job_.channels[c];
            if (!CleaningPieces::cleanInChannel(in.samples, piece.range, out, in.noise,
                                                job_.strength, job_.sampleRate, token_, in.hum,
                                                job_.engine, in.track, in.effects)) {
                return;
            }
            if (left_[k].fetch_sub(1, std::memory_order_acq_rel) == 1) {
                finished(k);
            }
        } catch (...) {
            failed_.store(true, std::memory_order_relaxed);
            throw;
        }
    }

    void fail() { failed_.store(true, std::memory_order_relaxed); }

private:
    bool stopped() const { return token_.cancelled() || failed_.load(std::memory_order_relaxed); }

    // Every channel of piece k is cleaned (and its buffers are visible to this thread).
    void finished(std::size_t k) {
        if (stopped()) {
            return;
        }
        if (deliver_) {
            deliver_(pieces_[k]);
        }
        if (!write_) {
            release(k);
            return;
        }
        ready_[k].store(true, std::memory_order_release);
        writeReady();
    }

    bool due(std::size_t i) const {
        return i < order_.size() && ready_[order_[i]].load(std::memory_order_acquire);
    }

    // Writes the stretches that are due, in order, unless another thread is writing: that one
    // sees this thread's stretch when it looks again after letting go.
    void writeReady() {
        while (!writing_.exchange(true, std::memory_order_acquire)) {
            std::size_t i = next_;
            try {
                for (; due(i) && !stopped(); ++i) {
                    PieceScheduler::Piece& piece = pieces_[order_[i]];
                    for (std::size_t c = 0; c < frames_.size(); ++c) {
                        requirePrecondition(
                            piece.channels[c].size() ==
                                static_cast<std::size_t>(piece.range.end - piece.range.begin),
                            "PieceScheduler: a delivery with a writer must leave "
                            "the piece's buffers");
                        frames_[c] = piece.channels[c].data();
                    }
                    write_(frames_, piece.range.end - piece.range.begin);
                    release(order_[i]);
                }
            } catch (...) {
                next_ = i;
                failed_.store(true, std::memory_order_relaxed);
                writing_.store(false, std::memory_order_release);
                throw;
            }
            next_ = i;
            writing_.store(false, std::memory_order_release);
            if (!due(i) || stopped()) {
                return;
            }
        }
    }

    // A buffer of `length` samples: a spare one when there is one (grown, if it must, by the
    // few samples the pieces' lengths differ by), else a new one.
    std::vector<float> acquire(std::int64_t length) {
        std::vector<float> buffer;
        {
            const std::lock_guard lock(mutex_);
            if (!spare_.empty()) {
                buffer = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        buffer.resize(static_cast<std::size_t>(length));
        return buffer;
    }

    // Piece k is handed over: what is left of its buffers serves later pieces.
    void release(std::size_t k) {
        const std::lock_guard lock(mutex_);
        for (std::vector<float>& buffer : pieces_[k].channels) {
            if (buffer.capacity() > 0) {
                spare_.push_back(std::move(buffer));
            }
            buffer = {};
        }
    }

    const PieceScheduler::Job& job_;
    const CancelToken& token_;
    const PieceScheduler::Deliver& deliver_;
    const PieceScheduler::Write& write_;
    std::vector<PieceScheduler::Piece> pieces_;
    std::vector<std::atomic<std::size_t>> left_;
    std::vector<std::atomic<bool>> ready_;
    std::atomic<bool> failed_{false};

    // The writer's: the pieces by position, the next one to write, who is writing (the flag
    // hands next_ and frames_ from one writing thread to the next).
    std::vector<std::size_t> order_;
    std::size_t next_ = 0;
    std::atomic<bool> writing_{false};
    std::vector<const float*> frames_;

    std::mutex mutex_;
    std::vector<std::vector<float>> spare_;
};

} // namespace

std::vector<PieceScheduler::Range> PieceScheduler::inOrder(std::int64_t n, double sampleRate,
                                                           int threads) {
    return CleaningPieces::splitForThreads(n, sampleRate, threads);
}

std::vector<PieceScheduler::Range>
PieceScheduler::playheadFirst(std::int64_t n, std::int64_t playhead, std::int64_t grain,
                              std::int64_t first, std::int64_t most) {
    requirePrecondition(grain > 0 && first > 0 && most >= first,
                        "PieceScheduler::playheadFirst needs 0 < first <= most grains");
    std::vector<Range> pieces;
    if (n <= 0) {
        return pieces;
    }
    const std::int64_t grains = (n - 1) / grain + 1;
    const std::int64_t at = std::clamp<std::int64_t>(playhead, 0, n - 1) / grain;
    const auto add = [&](std::int64_t from, std::int64_t to) {
        pieces.push_back({from * grain, std::min(n, to * grain)});
    };
    std::int64_t size = first;
    for (std::int64_t from = at; from < grains;) {
        const std::int64_t to = std::min(grains, from + size);
        add(from, to);
        from = to;
        size = std::min(most, 2 * size);
    }
    for (std::int64_t from = 0; from < at;) {
        const std::int64_t to = std::min(at, from + most);
        add(from, to);
        from = to;
    }
    return pieces;
}

void PieceScheduler::run(WorkerPool& pool, const Job& job, const CancelToken& token,
                         const Deliver& deliver, const Write& write) {
    const std::size_t count = job.channels.size();
    if (count == 0 || job.pieces.empty()) {
        return;
    }
    const std::size_t n = job.channels.front().samples.size();
    std::vector<Range> tiles = job.pieces;
    std::sort(tiles.begin(), tiles.end(),
              [](const Range& a, const Range& b) { return a.begin < b.begin; });
    std::int64_t covered = 0;
    for (const Range& piece : tiles) {
        covered = piece.begin == covered && piece.end >= piece.begin ? piece.end : -1;
    }
    requirePrecondition(std::all_of(job.channels.begin(), job.channels.end(),
                                    [n](const Input& in) { return in.samples.size() == n; }) &&
                            covered == static_cast<std::int64_t>(n),
                        "PieceScheduler::run needs channels of one length and pieces that tile "
                        "them");
    Run state(job, token, deliver, write);
    WorkerPool::TaskGroup group(pool);
    try {
        for (std::size_t k = 0; k < job.pieces.size(); ++k) {
            for (std::size_t c = 0; c < count; ++c) {
                group.run([&state, c, k] { state.clean(c, k); });
            }
        }
    } catch (...) {
        // Posting failed (out of memory): let the posted tasks stop, then report.
        state.fail();
        group.wait();
        throw;
    }
    group.wait();
}

} // namespace taln
