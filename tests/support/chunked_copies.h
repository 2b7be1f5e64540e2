#pragma once

// Test support: chunked audio copied whole, and told apart by its chunks, for tests to compare
// with. Never for production code: a copy is all of the audio again.

#include "audio/channels.h"
#include "audio/chunked_audio.h"

#include <algorithm>
#include <memory>

namespace taln::test {

// Every channel copied whole into a contiguous buffer.
inline Channels copyOf(const ChunkedAudio& audio) {
    Channels channels;
    for (int c = 0; c < audio.channelCount(); ++c) {
        auto channel = std::make_shared<Channel>(static_cast<std::size_t>(audio.frameCount()));
        audio.forEachSpan(c, 0, audio.frameCount(),
                          [&](const float* samples, std::int64_t count, std::int64_t first) {
                              std::copy(samples, samples + count, channel->data() + first);
                          });
        channels.push_back(std::move(channel));
    }
    return channels;
}

// Whether both hold the very same chunk pointers (no sample copied or replaced between them).
inline bool sharesAllChunks(const ChunkedAudio& a, const ChunkedAudio& b) {
    if (a.channelCount() != b.channelCount() || a.frameCount() != b.frameCount()) {
        return false;
    }
    for (int c = 0; c < a.channelCount(); ++c) {
        for (std::int64_t i = 0; i < a.chunkCount(); ++i) {
            if (a.chunk(c, i) != b.chunk(c, i)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace taln::test
