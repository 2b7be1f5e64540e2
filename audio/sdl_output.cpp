#include "audio/sdl_output.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace taln {

SdlOutput::~SdlOutput() {
    if (device_ != 0) {
        close();
    }
    if (initialised_) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
}

int SdlOutput::bufferFramesFor(int sampleRate) {
    const double frames = std::max(1.0, kBufferSeconds * sampleRate);
    return 1 << static_cast<int>(std::lround(std::log2(frames)));
}

void SdlOutput::close() {
    SDL_CloseAudioDevice(device_); // waits for the audio thread to finish
    device_ = 0;
    running_ = false;
    sampleRate_ = 0;
}

std::optional<std::string> SdlOutput::open(int sampleRate) {
    if (!initialised_) {
        // SDL would otherwise take over SIGINT and SIGTERM and turn them into quit events
        // that nobody here reads, so Taln could no longer be stopped from outside.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            return std::string(SDL_GetError());
        }
        initialised_ = true;
    }
    SDL_AudioSpec want;
    std::memset(&want, 0, sizeof want);
    want.freq = sampleRate;
    want.format = AUDIO_F32SYS;
    want.channels = kChannels;
    want.samples = static_cast<Uint16>(bufferFramesFor(sampleRate));
    want.callback = &SdlOutput::callback;
    want.userdata = this;
    SDL_AudioSpec have;
    // No allowed changes: SDL converts to whatever the hardware wants, so the callback always
    // receives exactly the format above. Opened paused.
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0) {
        return std::string(SDL_GetError());
    }
    device_ = device;
    sampleRate_ = sampleRate;
    bufferFrames_ = have.samples;
    return std::nullopt;
}

std::optional<std::string> SdlOutput::start(RenderFn render, void* user, int sampleRate) {
    if (device_ != 0 && SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED) {
        // The device went away (unplugged, server gone): SDL stops it for good. Close it and
        // open the default device afresh, or report why that fails.
        close();
    }
    if (device_ != 0 && sampleRate != sampleRate_) {
        close(); // a recording at another rate: the device is opened again at its rate
    }
    if (device_ == 0) {
        if (auto reason = open(sampleRate)) {
            return reason;
        }
    }
    if (running_ && render == render_ && user == user_) {
        return std::nullopt;
    }
    SDL_LockAudioDevice(device_);
    render_ = render;
    user_ = user;
    SDL_UnlockAudioDevice(device_);
    SDL_PauseAudioDevice(device_, 0);
    running_ = true;
    return std::nullopt;
}

void SdlOutput::stop() {
    if (device_ == 0) {
        return;
    }
    SDL_PauseAudioDevice(device_, 1);
    // Pausing takes the device lock; taking it once more makes sure a callback that was
    // already running has returned before we do.
    SDL_LockAudioDevice(device_);
    SDL_UnlockAudioDevice(device_);
    running_ = false;
}

bool SdlOutput::isRunning() const {
    return running_ && SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_PLAYING;
}

// SDL's audio thread.
void SdlOutput::callback(void* self, unsigned char* stream, int bytes) {
    const auto* output = static_cast<const SdlOutput*>(self);
    float* out = reinterpret_cast<float*>(stream);
    const std::int64_t frames = bytes / static_cast<int>(sizeof(float) * kChannels);
    if (output->render_ == nullptr) {
        std::memset(stream, 0, static_cast<std::size_t>(bytes));
        return;
    }
    output->render_(output->user_, out, frames);
}

std::unique_ptr<AudioOutput> makeSdlOutput() {
    return std::make_unique<SdlOutput>();
}

} // namespace taln
