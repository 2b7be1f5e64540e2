#pragma once

// BackgroundWork: where the model's whole-file work runs (decoding, noise estimation, peaks,
// cleaning, export), off the main thread.
//
// Each piece of work gets a thread of its own, so a long decode never delays a cleaning run or
// an export queued behind it. Work receives values and returns values through its own
// captures; it never touches the model. The threads are detached but counted: `waitForAll()`
// blocks until every piece has ended, and it runs by itself when the QCoreApplication is
// destroyed, so the process never exits under a running worker.
//
// Threads: `start`, `forEachIndex` and `waitForAll` from any thread (the model calls `start`
// from the main thread only).

#include <cstdint>
#include <functional>

namespace taln::BackgroundWork {

// Runs `work` on a new thread and returns at once. If no thread can be created, `work` runs
// on the caller's thread before `start` returns (slow, but never lost).
void start(std::function<void()> work);

// Calls `body(i)` for i = 0 ... count - 1 at the same time, index 0 on the caller's thread and
// every other index on a thread of its own (on the caller's when no thread can be made);
// returns when all are done. If any call throws, the first exception is thrown on from here
// once all calls have ended.
void forEachIndex(std::int64_t count, const std::function<void(std::int64_t)>& body);

// Blocks until every piece of work given to `start` has ended.
void waitForAll();

} // namespace taln::BackgroundWork
