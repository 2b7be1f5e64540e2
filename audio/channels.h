#pragma once

// Channels: one or two channels of 32-bit float samples at 44,100 Hz, all of equal length.
//
// A channel is immutable once made and shared, never copied: the model, a running cleaning
// job, the player and an export all hold the same buffers. Copying a Channels value copies
// one or two pointers, not the samples.

#include <cstdint>
#include <memory>
#include <vector>

namespace taln {

using Channel = std::vector<float>;
using ChannelPtr = std::shared_ptr<const Channel>;
using Channels = std::vector<ChannelPtr>;

// Frames per channel (the length of the first channel), 0 without channels.
inline std::int64_t frameCount(const Channels& channels) {
    return channels.empty() || !channels.front()
               ? 0
               : static_cast<std::int64_t>(channels.front()->size());
}

// The sample rate at which all audio in Taln is held.
inline constexpr double kSampleRate = 44100.0;

} // namespace taln
