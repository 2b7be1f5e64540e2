#pragma once

// CleaningRun: the background part of one cleaning job: every channel of a snapshot cleaned at
// once, one thread per channel.
//
// Units: samples at 44,100 Hz; `strength` is the engine's 0 ... 1 (the slider's percent / 100).
// Threads: any thread; blocks until all channels are done. Reads only its arguments (shared,
// immutable channel buffers and profiles) and the token.
// Allocation: one cleaned buffer per channel, owned by the result.

#include "audio/channels.h"
#include "engine/cancel_token.h"
#include "engine/noise_sample.h"

#include <optional>
#include <vector>

namespace taln::CleaningRun {

// All channels cleaned with their own noise sample (`noise[i]` for channel i: its profile and
// hum lines), or nothing when the run was cancelled: the token was tripped, or any channel gave
// up.
std::optional<Channels> cleanAll(const Channels& channels, const std::vector<NoiseSample>& noise,
                                 float strength, const CancelToken& token);

} // namespace taln::CleaningRun
