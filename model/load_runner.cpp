#include "model/load_runner.h"

#include "model/background_work.h"
#include "model/file_path.h"
#include "model/retired_audio.h"
#include "model/worker_link.h"

#include <QFileInfo>
#include <utility>

namespace taln {

LoadRunner::LoadRunner(std::shared_ptr<WorkerLink> link, RetiredAudio& retired,
                       const std::function<void(const QString&)>& finishedHook, Finish finish)
    : link_(std::move(link)), retired_(retired), finishedHook_(finishedHook),
      finish_(std::move(finish)) {}

void LoadRunner::start(const QString& path) {
    const std::uint64_t load = ++latest_;
    cancel();
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    progress_ = std::make_shared<std::atomic<float>>(-1.0f);
    BackgroundWork::start([this, link = link_, cancel = cancel_, progress = progress_,
                           hook = finishedHook_, path, file = toPath(path), load,
                           name = QFileInfo(path).fileName()] {
        auto result = std::make_shared<const LoadAnalysis::Result>(
            LoadAnalysis::run(file, name, *cancel, progress.get()));
        if (hook) {
            hook(path);
        }
        // `this` is used only on the main thread, while the link is open.
        link->post([this, load, path, result] { arrive(load, path, *result); });
    });
}

void LoadRunner::cancel() {
    cancel_->store(true, std::memory_order_relaxed);
}

void LoadRunner::abandon() {
    ++latest_;
    cancel();
}

float LoadRunner::progress() const {
    return progress_->load(std::memory_order_relaxed);
}

void LoadRunner::arrive(std::uint64_t load, const QString& path,
                        const LoadAnalysis::Result& result) {
    if (load != latest_) {
        retired_.retire(result.channels);
        return;
    }
    finish_(path, result);
}

} // namespace taln
