#include "model/cleaning_scheduler.h"

#include "model/background_work.h"
#include "model/exception_text.h"
#include "model/retired_audio.h"
#include "model/worker_link.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace taln {

CleaningScheduler::CleaningScheduler(std::shared_ptr<WorkerLink> link, RetiredAudio& retired,
                                     const std::function<void()>& finishedHook, Playhead playhead,
                                     Publish publish, Complete complete, Fail fail)
    : link_(std::move(link)), retired_(retired), finishedHook_(finishedHook),
      playhead_(std::move(playhead)), publish_(std::move(publish)), complete_(std::move(complete)),
      fail_(std::move(fail)) {
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

void CleaningScheduler::schedule(const Channels& channels, const AudioFormat& format,
                                 std::shared_ptr<const NoiseSamples> noise, float strength,
                                 double delay) {
    cancel();
    token_ = std::make_shared<CancelToken>();
    published_ = false;
    job_ = Job{token_, channels, format, std::move(noise), strength};
    timer_.start(std::chrono::milliseconds(std::llround(std::max(delay, 0.0) * 1000.0)));
}

void CleaningScheduler::startJob() {
    if (!job_ || job_->token->cancelled()) {
        return;
    }
    // The job keeps its own snapshot; the scheduler's handle no longer pins the buffers.
    Job job = std::exchange(*job_, Job{job_->token, {}, job_->format, {}, job_->strength});
    CleaningRun::Job run{std::move(job.channels),
                         static_cast<double>(job.format.sampleRate),
                         job.format.channelMask,
                         *job.noise,
                         job.strength,
                         playhead_()};
    // `this` is used only on the main thread, while the link is open.
    BackgroundWork::start([this, link = link_, pool = pool_, hook = finishedHook_,
                           token = std::move(job.token), run = std::move(run)] {
        try {
            CleaningRun::run(*pool, run, *token, [&](CleaningRun::Piece piece) {
                if (hook) {
                    hook();
                }
                link->post([this, token, piece = std::move(piece)] { arrive(token, piece); });
            });
            if (!token->cancelled()) {
                link->post([this, token] { complete(token); });
            }
        } catch (...) {
            // Out of memory, most likely.
            link->post(
                [this, token, message = describeCurrentException()] { fail(token, message); });
        }
    });
}

bool CleaningScheduler::isLatest(const std::shared_ptr<CancelToken>& token) const {
    return token == token_ && !token->cancelled();
}

void CleaningScheduler::arrive(const std::shared_ptr<CancelToken>& token,
                               const CleaningRun::Piece& piece) {
    // The last of the checks of the token (after the delay, inside the engine, before each
    // piece is handed over, and here): a job superseded while its piece was on the way hands
    // over nothing.
    if (!isLatest(token)) {
        retired_.retire(piece.channels);
        return;
    }
    published_ = true;
    publish_(piece);
}

void CleaningScheduler::complete(const std::shared_ptr<CancelToken>& token) {
    if (isLatest(token)) {
        complete_();
    }
}

void CleaningScheduler::fail(const std::shared_ptr<CancelToken>& token, const QString& message) {
    // Only the latest job reports, as only it publishes.
    if (isLatest(token)) {
        fail_(message, published_);
    }
}

} // namespace taln
