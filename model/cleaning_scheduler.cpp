#include "model/cleaning_scheduler.h"

#include "model/background_work.h"
#include "model/cleaning_run.h"
#include "model/exception_text.h"
#include "model/retired_audio.h"
#include "model/waveform_peaks.h"
#include "model/worker_link.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace taln {

CleaningScheduler::CleaningScheduler(std::shared_ptr<WorkerLink> link, RetiredAudio& retired,
                                     const std::function<void()>& finishedHook, Publish publish,
                                     Fail fail)
    : link_(std::move(link)), retired_(retired), finishedHook_(finishedHook),
      publish_(std::move(publish)), fail_(std::move(fail)) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { startJob(); });
}

void CleaningScheduler::cancel() {
    if (job_) {
        timer_.stop();
    }
    token_->cancel();
}

bool CleaningScheduler::cancelled() const {
    return token_->cancelled();
}

void CleaningScheduler::schedule(const Channels& channels, std::shared_ptr<const NoiseSamples> noise,
                                 float strength, double delay) {
    cancel();
    token_ = std::make_shared<CancelToken>();
    job_ = Job{token_, channels, std::move(noise), strength};
    timer_.start(std::chrono::milliseconds(std::llround(std::max(delay, 0.0) * 1000.0)));
}

void CleaningScheduler::startJob() {
    if (!job_ || job_->token->cancelled()) {
        return;
    }
    // The job keeps its own snapshot; the scheduler's handle no longer pins the buffers.
    Job job = std::exchange(*job_, Job{job_->token, {}, {}, job_->strength});
    BackgroundWork::start([this, link = link_, hook = finishedHook_, job = std::move(job)] {
        try {
            auto cleaned =
                CleaningRun::cleanAll(job.channels, *job.noise, job.strength, *job.token);
            if (!cleaned || job.token->cancelled()) {
                return;
            }
            auto buckets = std::make_shared<const std::vector<Peak>>(
                WaveformPeaks::peaks(*cleaned, WaveformPeaks::kBuckets));
            if (hook) {
                hook();
            }
            // `this` is used only on the main thread, while the link is open.
            link->post([this, token = job.token, channels = std::move(*cleaned), buckets] {
                finish(token, channels, buckets);
            });
        } catch (...) {
            // Out of memory, most likely: a long recording cleaned at once needs several
            // times its own size.
            link->post([this, token = job.token, message = describeCurrentException()] {
                fail(token, message);
            });
        }
    });
}

bool CleaningScheduler::isLatest(const std::shared_ptr<CancelToken>& token) const {
    return token == token_ && !token->cancelled();
}

void CleaningScheduler::finish(const std::shared_ptr<CancelToken>& token, const Channels& channels,
                               const std::shared_ptr<const std::vector<Peak>>& peaks) {
    // The last of the four checks of the token (after the delay, inside the engine, after the
    // channels, and here): a job whose background part finished just before it was superseded
    // hands over nothing.
    if (!isLatest(token)) {
        retired_.retire(channels);
        return;
    }
    publish_(channels, peaks);
}

void CleaningScheduler::fail(const std::shared_ptr<CancelToken>& token, const QString& message) {
    // Only the latest job reports, as only it publishes.
    if (isLatest(token)) {
        fail_(message);
    }
}

} // namespace taln
