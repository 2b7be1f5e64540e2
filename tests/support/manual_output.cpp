#include "tests/support/manual_output.h"

#include <algorithm>
#include <array>

namespace taln {

std::optional<std::string> ManualOutput::start(RenderFn render, void* user, int sampleRate) {
    std::lock_guard lock(mutex_);
    if (failure_) {
        return failure_;
    }
    if (!running_ || render_ != render || user_ != user || sampleRate_ != sampleRate) {
        render_ = render;
        user_ = user;
        sampleRate_ = sampleRate;
        running_ = true;
        ++startCount_;
    }
    return std::nullopt;
}

void ManualOutput::stop() {
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool ManualOutput::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

bool ManualOutput::pull(float* out, std::int64_t frames) {
    if (frames <= 0) {
        return isRunning();
    }
    std::lock_guard lock(mutex_);
    if (!running_ || render_ == nullptr) {
        std::fill(out, out + 2 * frames, 0.0f);
        return false;
    }
    render_(user_, out, frames);
    return true;
}

void ManualOutput::advance(std::int64_t frames) {
    std::array<float, 2 * kAdvanceBlock> scratch{};
    while (frames > 0) {
        const std::int64_t n = std::min(frames, kAdvanceBlock);
        pull(scratch.data(), n);
        frames -= n;
    }
}

void ManualOutput::setFailure(std::optional<std::string> reason) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(reason);
}

int ManualOutput::sampleRate() const {
    std::lock_guard lock(mutex_);
    return sampleRate_;
}

int ManualOutput::startCount() const {
    std::lock_guard lock(mutex_);
    return startCount_;
}

} // namespace taln
