#pragma once

// WriteControl: how another thread follows and stops a writer (WAV, FLAC, M4A, video, and the
// loudness measurement that goes before a normalised one), and PassProgress, how a writer
// reports into it.
//
// Every writer reads the control at least every 65,536 frames of audio (1.5 s of sound at
// 44.1 kHz: a few milliseconds of work for a WAV, about 0.03 s of AAC encoding) and, in a
// video, at every packet it copies, so that a cancel stops the work within a fraction of a
// second. A cancelled write throws WriteCancelled and leaves nothing behind: any earlier file at
// the destination stays as it was.
// Threads: the flags are atomics; the writer reads and writes them relaxed.

#include <atomic>
#include <cstdint>
#include <exception>

namespace taln {

// Following and stopping a write from another thread; both pointers may be null.
struct WriteControl {
    // Once true, the write stops with WriteCancelled.
    const std::atomic<bool>* cancel = nullptr;
    // The share of the whole work done so far, 0 ... 1 (1 only when the file is complete).
    std::atomic<float>* progress = nullptr;
};

// Thrown by a writer whose WriteControl's cancel flag was set.
class WriteCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "The export was cancelled."; }
};

// One pass of a write (measuring, then writing, for a normalised export) over `total` frames,
// reported as the stretch [from, to] of the control's progress.
class PassProgress {
public:
    PassProgress(const WriteControl& control, std::int64_t total, float from = 0.0f,
                 float to = 1.0f)
        : control_(control), total_(total), from_(from), to_(to) {}

    // Throws WriteCancelled once the control says so.
    void check() const {
        if (control_.cancel != nullptr && control_.cancel->load(std::memory_order_relaxed)) {
            throw WriteCancelled();
        }
    }

    // `done` frames of the pass are done: checks for a cancel, then reports.
    void reach(std::int64_t done) const {
        check();
        if (control_.progress != nullptr && total_ > 0) {
            const double share = static_cast<double>(done) / static_cast<double>(total_);
            control_.progress->store(from_ + (to_ - from_) * static_cast<float>(share),
                                     std::memory_order_relaxed);
        }
    }

    // The pass is over.
    void end() const {
        if (control_.progress != nullptr) {
            control_.progress->store(to_, std::memory_order_relaxed);
        }
    }

private:
    WriteControl control_;
    std::int64_t total_;
    float from_;
    float to_;
};

} // namespace taln
