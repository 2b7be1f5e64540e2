#include "model/background_work.h"

#include <QCoreApplication>
#include <condition_variable>
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
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<std::size_t>(count - 1));
    std::int64_t inlineFrom = count;
    for (std::int64_t i = 1; i < count; ++i) {
        try {
            helpers.emplace_back(body, i);
        } catch (const std::system_error&) {
            inlineFrom = i;
            break;
        }
    }
    body(0);
    for (std::int64_t i = inlineFrom; i < count; ++i) {
        body(i);
    }
    for (auto& t : helpers) {
        t.join();
    }
}

void waitForAll() {
    Census& c = census();
    std::unique_lock lock(c.mutex);
    c.idle.wait(lock, [&c] { return c.running == 0; });
}

} // namespace taln::BackgroundWork
