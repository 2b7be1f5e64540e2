#pragma once

// WorkerHooks: calls a test makes on the model's worker threads, so that it can hold a result
// back (or make a piece fail) and look at the model in between. The program passes none; a
// test gives TalnModel a WorkerHooks of its own and may change them between operations (each
// is read on the main thread when the operation starts). Empty hooks are skipped.

#include <QString>
#include <functional>

namespace taln {

struct WorkerHooks {
    // At the end of a load's background part, with the path, before its outcome is handed
    // over.
    std::function<void(const QString& path)> loadFinished;
    // Before each cleaning piece is handed over; a throw fails the cleaning as an error would.
    std::function<void()> cleaningFinished;
    // On an export's worker, just before it starts writing.
    std::function<void()> exportStarting;
    // On a batch's thread (BatchRun), before each cleaned stretch of its file `index` is
    // written.
    std::function<void(int index)> batchWriting;
    // After the background loudness measurement of a cleaned track, before it is handed over.
    std::function<void()> loudnessMeasured;
};

} // namespace taln
