#pragma once

// CleaningScheduler: turns "clean this audio at this strength" into cleaned audio while the
// user keeps changing the strength. Each schedule() supersedes all earlier work: only the latest
// job hands over anything.
//
// A job is fixed when it is scheduled (the channels, the noise samples and the strength; later
// changes of the model do not reach it), waits out its delay on a main-thread timer, asks where
// the listener is, then cleans playhead first on the scheduler's WorkerPool (CleaningRun). Each
// piece comes back through the WorkerLink as soon as it is done and is checked once more on the
// main thread, so a job superseded at any point hands over nothing more; after its last piece
// the job reports that it is complete. Each job has its own CancelToken; superseding or
// cancelling trips it, which makes its running and queued pieces give up.
//
// Threads: main thread only; the callbacks run there too. The pool's threads (one per
// processor) are shared by the jobs: a superseded job's queued pieces end at once.
// Ownership: owned by the model; the link guarantees that no posted result reaches a
// scheduler that is gone. Pieces not handed over are retired (RetiredAudio).

#include "audio/audio_format.h"
#include "audio/channels.h"
#include "engine/cancel_token.h"
#include "engine/noise_sample.h"
#include "engine/worker_pool.h"
#include "model/cleaning_run.h"

#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace taln {

class RetiredAudio;
class WorkerLink;

class CleaningScheduler {
public:
    using NoiseSamples = std::vector<NoiseSample>;
    // A piece of the latest job: its cleaned chunks and the waveform buckets inside them.
    using Publish = std::function<void(const CleaningRun::Piece& piece)>;
    // The latest job has handed over its last piece.
    using Complete = std::function<void()>;
    // The latest job could not finish (out of memory); the reason in words, and whether it had
    // already handed over a piece (the cleaned audio is then part old, part new).
    using Fail = std::function<void(const QString& message, bool published)>;
    // The frame the listener is at, asked when a job starts cleaning.
    using Playhead = std::function<std::int64_t()>;

    // `finishedHook` is read at each job's start and called on a worker just before each piece
    // is handed over (tests hold a piece back with it, or make it fail); an empty one is
    // skipped.
    CleaningScheduler(std::shared_ptr<WorkerLink> link, RetiredAudio& retired,
                      const std::function<void()>& finishedHook, Playhead playhead, Publish publish,
                      Complete complete, Fail fail);
    CleaningScheduler(const CleaningScheduler&) = delete;
    CleaningScheduler& operator=(const CleaningScheduler&) = delete;

    // Cancels the latest job and schedules a new one: `channels` (in `format`) cleaned
    // with `noise` (one sample per channel) at `strength` (the engine's 0 ... 1), starting
    // `delay` seconds from now (at once for 0).
    void schedule(const Channels& channels, const AudioFormat& format,
                  std::shared_ptr<const NoiseSamples> noise, float strength, double delay);

    // Cancels the latest job without scheduling another; it will hand over nothing more.
    void cancel();

    // Whether the latest job was cancelled (and none scheduled since).
    bool cancelled() const;

private:
    struct Job {
        std::shared_ptr<CancelToken> token;
        Channels channels;
        AudioFormat format;
        std::shared_ptr<const NoiseSamples> noise;
        float strength = 0.0f;
    };

    void startJob();
    void arrive(const std::shared_ptr<CancelToken>& token, const CleaningRun::Piece& piece);
    void complete(const std::shared_ptr<CancelToken>& token);
    void fail(const std::shared_ptr<CancelToken>& token, const QString& message);
    bool isLatest(const std::shared_ptr<CancelToken>& token) const;

    std::shared_ptr<WorkerLink> link_;
    RetiredAudio& retired_;
    const std::function<void()>& finishedHook_;
    Playhead playhead_;
    Publish publish_;
    Complete complete_;
    Fail fail_;

    // Shared with the running jobs, so that a job still posting pieces never outlives it.
    std::shared_ptr<WorkerPool> pool_ = std::make_shared<WorkerPool>();

    // The token of the latest job; always present.
    std::shared_ptr<CancelToken> token_ = std::make_shared<CancelToken>();
    // Whether the latest job has handed over a piece.
    bool published_ = false;
    // The latest job waits on `timer_` (its cancellable sleep) and then runs.
    std::optional<Job> job_;
    QTimer timer_;
};

} // namespace taln
