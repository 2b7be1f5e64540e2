#pragma once

// Channels: 1 to 8 channels of 32-bit float samples, all of equal length, at the rate the
// decoder reports with them (AudioDecoder::Decoded::format).
//
// A channel is immutable once made and shared, never copied: the model, a running cleaning
// job, the player and an export all hold the same buffers. Copying a Channels value copies
// a few pointers, not the samples.

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

// The rate the model and taln-clean still assume for decoded audio; the decoder does not use
// it and reports each file's own rate instead.
inline constexpr double kSampleRate = 44100.0;

} // namespace taln
