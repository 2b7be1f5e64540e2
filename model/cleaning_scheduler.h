#pragma once

// CleaningScheduler: turns "clean this audio at this strength" into cleaned audio while the
// user keeps changing the strength. Each schedule() supersedes all earlier work: at most one
// job ever hands over a result, and it is always the latest one.
//
// A job is fixed when it is scheduled (the channels, the noise profiles and the strength; later
// changes of the model do not reach it), waits out its delay on a main-thread timer, then
// cleans on a worker (CleaningRun) and computes the cleaned waveform there. Its result comes
// back through the WorkerLink and is checked once more on the main thread, so a job whose
// background part finished just before it was superseded hands over nothing. Each job has its
// own CancelToken; superseding or cancelling trips it, which makes a running cleaning give up.
//
// Threads: main thread only; the callbacks run there too.
// Ownership: owned by the model; the link guarantees that no posted result reaches a
// scheduler that is gone. Results not handed over are retired (RetiredAudio).

#include "audio/channels.h"
#include "engine/cancel_token.h"
#include "engine/noise_sample.h"
#include "model/peak.h"

#include <QString>
#include <QTimer>
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
    // The latest job's cleaned channels and their waveform.
    using Publish = std::function<void(const Channels& channels,
                                       const std::shared_ptr<const std::vector<Peak>>& peaks)>;
    // The latest job could not finish (out of memory); the reason in words.
    using Fail = std::function<void(const QString& message)>;

    // `finishedHook` is read at each job's start and called on the worker at the end of its
    // background part (tests hold a result back with it); an empty one is skipped.
    CleaningScheduler(std::shared_ptr<WorkerLink> link, RetiredAudio& retired,
                      const std::function<void()>& finishedHook, Publish publish, Fail fail);
    CleaningScheduler(const CleaningScheduler&) = delete;
    CleaningScheduler& operator=(const CleaningScheduler&) = delete;

    // Cancels the latest job and schedules a new one: `channels` cleaned with `noise` (one
    // profile per channel) at `strength` (the engine's 0 ... 1), starting `delay` seconds
    // from now (at once for 0).
    void schedule(const Channels& channels, std::shared_ptr<const NoiseSamples> noise, float strength,
                  double delay);

    // Cancels the latest job without scheduling another; it will hand over nothing.
    void cancel();

    // Whether the latest job was cancelled (and none scheduled since).
    bool cancelled() const;

private:
    struct Job {
        std::shared_ptr<CancelToken> token;
        Channels channels;
        std::shared_ptr<const NoiseSamples> noise;
        float strength = 0.0f;
    };

    void startJob();
    void finish(const std::shared_ptr<CancelToken>& token, const Channels& channels,
                const std::shared_ptr<const std::vector<Peak>>& peaks);
    void fail(const std::shared_ptr<CancelToken>& token, const QString& message);
    bool isLatest(const std::shared_ptr<CancelToken>& token) const;

    std::shared_ptr<WorkerLink> link_;
    RetiredAudio& retired_;
    const std::function<void()>& finishedHook_;
    Publish publish_;
    Fail fail_;

    // The token of the latest job; always present.
    std::shared_ptr<CancelToken> token_ = std::make_shared<CancelToken>();
    // The latest job waits on `timer_` (its cancellable sleep) and then runs.
    std::optional<Job> job_;
    QTimer timer_;
};

} // namespace taln
