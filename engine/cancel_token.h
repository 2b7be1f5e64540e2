#pragma once

// CancelToken: the stop flag of one cleaning run.
//
// Thread contract: `cancel()` is called by the main thread when a newer run starts or a new
// file begins loading; `cancelled()` is read by the worker threads of the run, without any
// lock. No ordering with other memory is needed (a late read only delays the end of a run
// that nobody waits for), so both sides use relaxed atomics. The flag is set once and never
// cleared. Shared by reference (std::shared_ptr) between the model and the run's workers.

#include <atomic>

namespace taln {

class CancelToken {
public:
    CancelToken() = default;
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // Any thread.
    void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }

    // Any thread.
    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> cancelled_{false};
};

} // namespace taln
