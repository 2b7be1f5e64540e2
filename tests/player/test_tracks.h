#pragma once

// Test signals for the player: every sample names its version, side and frame, so one
// output frame tells exactly what the mixer played. Values stay below 2^22, where floats
// hold every half step exactly.

#include "audio/channels.h"
#include "audio/chunked_audio.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace taln::test {

// Original: left = k + 1, right = k + 1.5. Cleaned: the same, negated.
inline float origLeft(std::int64_t k) {
    return static_cast<float>(k) + 1.0f;
}
inline float origRight(std::int64_t k) {
    return static_cast<float>(k) + 1.5f;
}
inline float cleanLeft(std::int64_t k) {
    return -origLeft(k);
}
inline float cleanRight(std::int64_t k) {
    return -origRight(k);
}

inline Channels makeVersion(std::int64_t frames, bool cleaned, int channels = 2) {
    auto left = std::make_shared<Channel>(static_cast<std::size_t>(frames));
    auto right = std::make_shared<Channel>(static_cast<std::size_t>(frames));
    for (std::int64_t k = 0; k < frames; ++k) {
        (*left)[static_cast<std::size_t>(k)] = cleaned ? cleanLeft(k) : origLeft(k);
        (*right)[static_cast<std::size_t>(k)] = cleaned ? cleanRight(k) : origRight(k);
    }
    if (channels == 1) {
        return {left};
    }
    return {left, right};
}

// The same as a track for the player.
inline ChunkedAudio track(std::int64_t frames, bool cleaned, int channels = 2) {
    return ChunkedAudio::fromChannels(makeVersion(frames, cleaned, channels));
}

// What one stereo output frame holds.
struct Heard {
    enum Kind { silence, original, cleaned, other } kind = other;
    std::int64_t frame = -1; // frame of the version, for original and cleaned
};

inline Heard classify(float left, float right) {
    if (left == 0.0f && right == 0.0f) {
        return {Heard::silence, -1};
    }
    const bool orig = left > 0.0f;
    const float l = orig ? left : -left;
    const float r = orig ? right : -right;
    const auto k = static_cast<std::int64_t>(l) - 1;
    if (static_cast<float>(k) + 1.0f != l || static_cast<float>(k) + 1.5f != r || k < 0) {
        return {Heard::other, -1};
    }
    return {orig ? Heard::original : Heard::cleaned, k};
}

} // namespace taln::test
