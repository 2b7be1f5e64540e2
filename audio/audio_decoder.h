#pragma once

// AudioDecoder: any audio or video file FFmpeg can open -> Channels at 44,100 Hz.
//
// The first audio stream is decoded, resampled to 44,100 Hz float and remixed to one
// channel (mono source) or two (stereo or more, FFmpeg's standard downmix; unknown layout).
// Thread contract: any thread; no shared state, any number of decodes may run at once.
// Errors: TalnError for what Taln detects itself (no audio stream, no frames); otherwise a
// std::runtime_error carrying FFmpeg's or the system's own message.

#include "audio/channels.h"

#include <filesystem>

namespace taln::AudioDecoder {

Channels decode(const std::filesystem::path& path);

} // namespace taln::AudioDecoder
