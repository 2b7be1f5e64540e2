#pragma once

// ManualOutput: a test double: an AudioOutput that renders only when a test (or a benchmark)
// asks, so that playback can be
// checked frame by frame without a sound card or a clock.
//
// Threads: start, stop and setFailure on the main thread; pull and advance on any one
// thread (the test's own, or a second thread standing in for the sound device). A mutex
// makes `stop` wait for a running pull, as a real device's stop does; it guards only this
// test double, never the player's render function itself.
//
// Allocation: none after construction.

#include "audio/audio_output.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace taln {

class ManualOutput : public AudioOutput {
public:
    // Main thread. Fails with the reason set by setFailure, else starts pulling from
    // `render` at the next pull.
    std::optional<std::string> start(RenderFn render, void* user, int sampleRate) override;
    void stop() override;
    bool isRunning() const override;

    // Renders `frames` stereo frames into `out` (2 × frames floats) through the render
    // function if running, else writes silence. Returns whether it was running.
    bool pull(float* out, std::int64_t frames);

    // Renders and discards `frames` frames (advances the player's clock), in blocks of
    // kAdvanceBlock frames so that no buffer is allocated.
    void advance(std::int64_t frames);

    // Makes later start() calls fail with this reason (std::nullopt: succeed again).
    void setFailure(std::optional<std::string> reason);

    // How many times start() has succeeded; lets a test tell a restart from a no-op.
    int startCount() const;

    // The rate of the latest successful start (0 before any).
    int sampleRate() const;

    static constexpr std::int64_t kAdvanceBlock = 512;

private:
    mutable std::mutex mutex_;
    RenderFn render_ = nullptr;
    void* user_ = nullptr;
    bool running_ = false;
    int startCount_ = 0;
    int sampleRate_ = 0;
    std::optional<std::string> failure_;
};

} // namespace taln
