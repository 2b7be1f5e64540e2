#pragma once

// LoadRunner: starts loads and hands back the outcome of the latest one only. Every load is
// numbered and has its own stop flag; a later load sets the flag of the one before, so that
// its worker gives up instead of reading and analysing a file nobody will install, and its
// outcome, success or failure, is dropped when it arrives: the file the user chose last is the
// one that ends up loaded.
//
// Threads: main thread only; the callback runs there too. The analysis (LoadAnalysis) runs on
// a worker of its own per load.
// Ownership: owned by the model; the link guarantees that no posted outcome reaches a runner
// that is gone. Audio of dropped outcomes is retired (RetiredAudio).

#include "model/load_analysis.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace taln {

class RetiredAudio;
class WorkerLink;

class LoadRunner {
public:
    // The latest load's outcome, with the path it was started with.
    using Finish = std::function<void(const QString& path, const LoadAnalysis::Result& result)>;

    // `finishedHook` is read at each load's start and called on the worker, with the path, at
    // the end of its background part (tests hold an outcome back with it); an empty one is
    // skipped.
    LoadRunner(std::shared_ptr<WorkerLink> link, RetiredAudio& retired,
               const std::function<void(const QString&)>& finishedHook, Finish finish);
    LoadRunner(const LoadRunner&) = delete;
    LoadRunner& operator=(const LoadRunner&) = delete;

    // Supersedes every earlier load and reads `path` in the background.
    void start(const QString& path);

    // Sets the stop flag of the latest load (the model is going).
    void cancel();

    // Stops the latest load and drops its outcome, whatever it turns out to be: the user
    // cancelled it.
    void abandon();

    // How far the latest load's decoding got: 0 ... 1 of the file's stated duration, negative
    // while unknown (before decoding starts, or for a file that states no duration).
    float progress() const;

private:
    void arrive(std::uint64_t load, const QString& path, const LoadAnalysis::Result& result);

    std::shared_ptr<WorkerLink> link_;
    RetiredAudio& retired_;
    const std::function<void(const QString&)>& finishedHook_;
    Finish finish_;

    std::uint64_t latest_ = 0;
    // The stop flag of the latest load, shared with its worker.
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    // The latest load's progress, written by its worker.
    std::shared_ptr<std::atomic<float>> progress_ = std::make_shared<std::atomic<float>>(-1.0f);
};

} // namespace taln
