#pragma once

// SdlOutput: the real sound output, SDL2 audio at the recording's rate, 32-bit float, stereo,
// with a device buffer of about 23 ms (1,024 frames at 44.1 and 48 kHz, the power of two
// nearest 23 ms at other rates), so a switch of the audible track is heard within about 25 ms.
// SDL converts to whatever rate the hardware runs at.
//
// Threads: every method on the main thread; the render function runs on SDL's audio thread.
// The audio subsystem is initialised and the device opened lazily by the first start, so a
// Player that never plays never touches the sound system. The device is closed (and the
// subsystem released) on destruction.

#include "audio/audio_output.h"

#include <cstdint>
#include <optional>
#include <string>

namespace taln {

class SdlOutput : public AudioOutput {
public:
    SdlOutput() = default;
    ~SdlOutput() override;
    SdlOutput(const SdlOutput&) = delete;
    SdlOutput& operator=(const SdlOutput&) = delete;

    std::optional<std::string> start(RenderFn render, void* user, int sampleRate) override;
    void stop() override;
    bool isRunning() const override;

    // Frames per device buffer that SDL granted (0 before the device is open).
    std::int64_t bufferFrames() const { return bufferFrames_; }

    static constexpr int kChannels = 2;
    static constexpr double kBufferSeconds = 0.023;

    // Frames per device buffer asked for at `sampleRate`: the power of two nearest 23 ms.
    static int bufferFramesFor(int sampleRate);

private:
    static void callback(void* self, unsigned char* stream, int bytes);
    std::optional<std::string> open(int sampleRate);
    void close();

    bool initialised_ = false;
    std::uint32_t device_ = 0; // SDL_AudioDeviceID; 0 while closed
    std::int64_t bufferFrames_ = 0;
    int sampleRate_ = 0; // the rate the device is open at
    bool running_ = false;
    // Written only while the device is paused and locked; read by the callback.
    RenderFn render_ = nullptr;
    void* user_ = nullptr;
};

} // namespace taln
