#pragma once

// AudioOutput: where the player's mixer sends its frames.
//
// The output pulls interleaved stereo 32-bit float frames at the rate it was started with
// from a render function on a thread of its own (the sound device's thread for SDL, the test's
// thread for ManualOutput). The render function must not allocate, lock or do I/O.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace taln {

class AudioOutput {
public:
    // Fills `frames` interleaved stereo frames (2 × frames floats) at `out`. Called on the
    // output's thread; `user` is the pointer given to `start`.
    using RenderFn = void (*)(void* user, float* out, std::int64_t frames);

    virtual ~AudioOutput() = default;

    // Main thread. Opens the device on first use and makes sure it is pulling from `render`
    // at `sampleRate` frames a second (the device is opened again for another rate).
    // Calling it again while running is cheap and changes nothing. Returns the reason, in
    // the device library's own words, when the device cannot be opened or started.
    virtual std::optional<std::string> start(RenderFn render, void* user, int sampleRate) = 0;

    // Main thread. Stops pulling; when it returns, `render` is not running and will not be
    // called again until the next `start`.
    virtual void stop() = 0;

    // Main thread. Whether the output is pulling now.
    virtual bool isRunning() const = 0;
};

// The real output: SDL2 audio at the rate asked for, float, stereo, a device buffer of about
// 23 ms. The device is opened lazily by the first `start`.
std::unique_ptr<AudioOutput> makeSdlOutput();

} // namespace taln
