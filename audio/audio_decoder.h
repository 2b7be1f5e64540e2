#pragma once

// AudioDecoder: any audio or video file FFmpeg can open -> Channels at 44,100 Hz.
//
// The first audio stream is decoded, resampled to 44,100 Hz float and remixed to one
// channel (mono source) or two (stereo or more, FFmpeg's standard downmix; unknown layout).
// NaN and infinite samples (a float file can hold them) are replaced by 0: one of them would
// turn the rest of the cleaned channel into NaN. A damaged packet is skipped and the rest of
// the file kept, as players do; a file cut short yields the audio before the cut. Audio at
// a rate below 1,000 Hz or above 3,072,000 Hz counts as damaged (a header claiming 1 Hz
// would make 44,100 samples of every byte; one claiming 1 GHz, a resampling filter of
// hundreds of megabytes).
// Memory: the channels, reserved from the container's duration when it gives one (as far as
// the file's size makes it plausible: at most 1,024 frames a byte), plus one converted
// frame of scratch; the channels are moved into the result, not copied.
// Thread contract: any thread; no shared state, any number of decodes may run at once.
// Errors: TalnError for what Taln detects itself (no audio stream, no frames); otherwise a
// std::runtime_error carrying the file's name and FFmpeg's or the system's own message
// ("take.m4a: Invalid data found when processing input"). A read error that stops reading
// is thrown and nothing partial is returned.

#include "audio/channels.h"

#include <filesystem>

namespace taln::AudioDecoder {

Channels decode(const std::filesystem::path& path);

} // namespace taln::AudioDecoder
