#include "model/track_loudness.h"

#include "audio/write_control.h"
#include "model/background_work.h"
#include "model/worker_link.h"

#include <utility>

namespace taln {

TrackLoudness::TrackLoudness(std::shared_ptr<WorkerLink> link,
                             const std::function<void()>& measuredHook)
    : link_(std::move(link)), measuredHook_(measuredHook) {}

TrackLoudness::~TrackLoudness() {
    drop();
}

void TrackLoudness::measure(ChunkedAudio snapshot, const AudioFormat& format) {
    drop();
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    // `this` is used only on the main thread, while the link is open.
    BackgroundWork::start([this, link = link_, snapshot = std::move(snapshot), format,
                           cancel = cancel_, hook = measuredHook_, generation = generation_] {
        std::shared_ptr<const Loudness::Measurement> measured;
        try {
            WriteControl control;
            control.cancel = cancel.get();
            measured = std::make_shared<const Loudness::Measurement>(
                Loudness::measure(snapshot, format, PassProgress(control, snapshot.frameCount())));
        } catch (...) {
            // Cancelled, or no memory: the export measures for itself.
        }
        if (hook) {
            hook();
        }
        if (measured) {
            link->post([this, measured, generation] {
                if (generation == generation_) {
                    measured_ = measured;
                }
            });
        }
    });
}

void TrackLoudness::drop() {
    if (cancel_) {
        cancel_->store(true, std::memory_order_relaxed);
        cancel_.reset();
    }
    ++generation_;
    measured_.reset();
}

} // namespace taln
