#pragma once

// FrameQueue: decoded frames handed from the thread that reads and decodes a file to the one
// that converts and stores them, a batch at a time: waking the other thread for every frame
// (an AAC frame is 1,024 samples) would cost more than the frame's conversion.
//
// Thread: one producer (push, finish), one consumer (take). A producer waiting for room gives up
// once its stop token is requested. Allocation: the queue's nodes; frames are moved, not copied.

#include "audio/ffmpeg_handles.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <stop_token>
#include <utility>

namespace taln {

class FrameQueue {
public:
    // The consumer takes frames `batch` at a time; the producer waits while twice that many
    // are queued.
    explicit FrameQueue(std::size_t batch) : batch_(batch) {}

    // Queues `frame`, waiting for room; false (the frame dropped) once `stop` is requested.
    bool push(FramePtr frame, std::stop_token stop) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait(lock, stop, [this] { return frames_.size() < 2 * batch_; })) {
            return false;
        }
        frames_.push_back(std::move(frame));
        if (frames_.size() == batch_) {
            changed_.notify_all();
        }
        return true;
    }

    // No more frames: the producer ended, with `error` when it failed.
    void finish(std::exception_ptr error = nullptr) {
        const std::lock_guard lock(mutex_);
        finished_ = true;
        error_ = error;
        changed_.notify_all();
    }

    // Moves the queued frames into `taken` (empty) once a batch is there or the producer has
    // finished. False when the producer has finished and every frame was taken; its error is
    // rethrown then.
    bool take(std::deque<FramePtr>& taken) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return frames_.size() >= batch_ || finished_; });
        if (frames_.empty()) {
            if (error_) {
                std::rethrow_exception(std::exchange(error_, nullptr));
            }
            return false;
        }
        taken.swap(frames_);
        changed_.notify_all();
        return true;
    }

private:
    const std::size_t batch_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<FramePtr> frames_;
    bool finished_ = false;
    std::exception_ptr error_;
};

} // namespace taln
