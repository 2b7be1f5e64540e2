#pragma once

// WorkerPool: a fixed set of threads that run posted tasks in the order they were posted.
//
// Meant for coarse tasks (cleaning pieces of seconds of audio each), so one queue under one lock
// is all the scheduling there is. Tasks that belong together are posted through a TaskGroup,
// which waits for them and hands back the first exception any of them threw.
//
// Threads: `post` and TaskGroup's `run` may be called from any thread, including from a task.
// TaskGroup's `wait` must never be called from a task of the same pool: with every worker
// waiting, nothing would run the tasks they wait for.
//
// Lifetime: the destructor runs every task already posted, then joins the threads. A task's
// captures must outlive its run; cancel long work through its own CancelToken.
//
// Allocation: one std::function per posted task, and the queue's nodes.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace taln {

class WorkerPool {
public:
    // The processor count the system reports, at least 1.
    static int hardwareThreads() noexcept;

    // `threads` workers, at least 1 (fewer is taken as 1).
    explicit WorkerPool(int threads = hardwareThreads());
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threadCount() const noexcept { return static_cast<int>(threads_.size()); }

    // Queues `task` to run on one of the workers. Any thread. An exception escaping a task posted
    // here ends the program (std::terminate); TaskGroup catches them instead.
    void post(std::function<void()> task);

    class TaskGroup;

private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Tasks posted to one pool that someone waits for together.
class WorkerPool::TaskGroup {
public:
    explicit TaskGroup(WorkerPool& pool) : pool_(pool) {}
    // Waits for the tasks still running (an exception among them is dropped).
    ~TaskGroup();
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    WorkerPool& pool() const noexcept { return pool_; }

    // Posts `task` to the pool as part of this group. Any thread.
    void run(std::function<void()> task);

    // Blocks until every task run so far has ended, then rethrows the first exception one of
    // them threw (once). Not from a task of the same pool.
    void wait();

private:
    WorkerPool& pool_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::int64_t pending_ = 0;
    std::exception_ptr error_;
};

} // namespace taln
