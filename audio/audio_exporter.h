#pragma once

// AudioExporter: Channels -> a WAV (16-bit PCM) or M4A (AAC) file.
//
// Thread contract: any thread; blocks until the file is complete. The file is written to a
// temporary name in the destination's folder and renamed over the destination only when
// complete, so a failure leaves any earlier file at the destination untouched.
// Errors: std::runtime_error with FFmpeg's or the system's own message.

#include "audio/channels.h"

#include <filesystem>

namespace taln::AudioExporter {

enum class Kind { m4a, wav };

void write(const Channels& channels, double sampleRate, Kind kind,
           const std::filesystem::path& path);

} // namespace taln::AudioExporter
