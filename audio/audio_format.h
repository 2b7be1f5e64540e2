#pragma once

// AudioFormat: what a recording is besides its samples, so that what Taln writes back is what
// it was given: the rate, the channels and their layout, and the depth of the samples.
//
// The samples themselves are always 32-bit floats in Taln (Channels, ChunkedAudio); the format
// says how they were stored in the source and how an export stores them again. No FFmpeg type
// here: the model and the command line read it too.

#include <cstdint>

namespace taln {

// How the source stored its samples. An integer source keeps its depth in a WAV, a float one
// stays float, and a lossy one (AAC, MP3, Opus...) has no depth of its own: it is written as
// 16-bit.
enum class SampleDepth { int16, int24, int32, float32, lossy };

struct AudioFormat {
    // Frames per second: the source's own, 8,000 to 192,000.
    int sampleRate = 44100;
    // The channels in order as FFmpeg's native channel mask (AV_CH_FRONT_LEFT = bit 0, ...),
    // one bit per channel; 0 when the source gives no layout, which then counts as the
    // standard layout for the channel count (mono, stereo, ... 5.1, 7.1).
    std::uint64_t channelMask = 0;
    SampleDepth depth = SampleDepth::int16;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

} // namespace taln
