#include "engine/worker_pool.h"

#include <algorithm>
#include <utility>

namespace taln {

int WorkerPool::hardwareThreads() noexcept {
    // 0 means the system does not say.
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

WorkerPool::WorkerPool(int threads) {
    const int count = std::max(1, threads);
    threads_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        threads_.emplace_back([this] { work(); });
    }
}

WorkerPool::~WorkerPool() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

void WorkerPool::post(std::function<void()> task) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void WorkerPool::work() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) {
                return; // stopping, and nothing left to run
            }
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

WorkerPool::TaskGroup::~TaskGroup() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
}

void WorkerPool::TaskGroup::run(std::function<void()> task) {
    {
        const std::lock_guard lock(mutex_);
        ++pending_;
    }
    pool_.post([this, task = std::move(task)] {
        std::exception_ptr error;
        try {
            task();
        } catch (...) {
            error = std::current_exception();
        }
        // Notified under the lock: once pending_ reaches 0 the waiter may destroy the group.
        const std::lock_guard lock(mutex_);
        if (error && !error_) {
            error_ = error;
        }
        if (--pending_ == 0) {
            done_.notify_all();
        }
    });
}

void WorkerPool::TaskGroup::wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    if (error_) {
        std::rethrow_exception(std::exchange(error_, nullptr));
    }
}

} // namespace taln
