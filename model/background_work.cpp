#include "model/background_work.h"

#include <QCoreApplication>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace taln::BackgroundWork {

namespace {

struct Census {
    std::mutex mutex;
    std::condition_variable idle;
    std::int64_t running = 0;
    bool waitsAtExit = false;
};

Census& census() {
    // Never destroyed: a detached thread may still be leaving after static destruction began.
    static auto* c = new Census;
    return *c;
}

void waitAtExit() {
    waitForAll();
}

} // namespace

void start(std::function<void()> work) {
    Census& c = census();
    {
        std::lock_guard lock(c.mutex);
        ++c.running;
        if (!c.waitsAtExit && QCoreApplication::instance() != nullptr) {
            // Runs from ~QCoreApplication, before static objects (FFTW plans, codec tables)
            // that a worker may still be using are destroyed.
            qAddPostRoutine(waitAtExit);
            c.waitsAtExit = true;
        }
    }
    auto task = std::make_shared<std::function<void()>>(std::move(work));
    auto body = [&c](std::shared_ptr<std::function<void()>> t) {
        (*t)();
        *t = nullptr; // release the captured audio before the worker counts as ended
        std::lock_guard lock(c.mutex);
        if (--c.running == 0) {
            c.idle.notify_all();
        }
    };
    try {
        std::thread(body, task).detach();
    } catch (const std::system_error&) {
        body(task);
    }
}

void forEachIndex(std::int64_t count, const std::function<void(std::int64_t)>& body) {
    if (count <= 0) {
        return;
    }
    // An exception leaving a thread's function ends the process: each index keeps its own
    // until all are done, and the first is thrown on from here.
    std::mutex failureLock;
    std::exception_ptr failure;
    const auto guarded = [&](std::int64_t i) {
        try {
            body(i);
        } catch (...) {
            std::lock_guard lock(failureLock);
            if (!failure) {
                failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    std::int64_t inlineFrom = 1;
    try {
        helpers.reserve(static_cast<std::size_t>(count - 1));
        for (; inlineFrom < count; ++inlineFrom) {
            helpers.emplace_back(guarded, inlineFrom);
        }
    } catch (const std::exception&) {
        // No thread (or no room to list one) for the rest: they run here instead.
    }
    guarded(0);
    for (std::int64_t i = inlineFrom; i < count; ++i) {
        guarded(i);
    }
    for (auto& t : helpers) {
        t.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void waitForAll() {
    Census& c = census();
    std::unique_lock lock(c.mutex);
    c.idle.wait(lock, [&c] { return c.running == 0; });
}

} // namespace taln::BackgroundWork
