#pragma once

// AudioFormat: what a recording is besides its samples, so that what Taln writes back is what
// it was given: the rate, the channels and their layout, and the depth of the samples.
//
// The samples themselves are always 32-bit floats in Taln (Channels, ChunkedAudio); the format
// says how they were stored in the source and how an export stores them again. No FFmpeg type
// here: the model and the command line read it too.

#include <bit>
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

// The standard layout of `channels` channels as a native mask, FFmpeg's defaults
// (av_channel_layout_default): mono, stereo, 2.1, 4.0, 5.0, 5.1, 6.1, 7.1; 0 beyond 8.
constexpr std::uint64_t standardChannelMask(int channels) {
    constexpr std::uint64_t kMasks[] = {0x0, 0x4, 0x3, 0xB, 0x107, 0x37, 0x3F, 0x70F, 0x63F};
    return channels >= 0 && channels <= 8 ? kMasks[channels] : 0;
}

// Whether channel `index` of `channels` channels laid out as `channelMask` (0: the standard
// layout) carries low-frequency effects (LFE, AV_CH_LOW_FREQUENCY or _2), whose content lies
// below 120 Hz and must not be high-passed like a voice.
constexpr bool isLowFrequencyEffects(std::uint64_t channelMask, int channels, int index) {
    constexpr std::uint64_t kEffects = (std::uint64_t{1} << 3) | (std::uint64_t{1} << 35);
    if (std::popcount(channelMask) != channels) {
        channelMask = standardChannelMask(channels);
    }
    for (int c = 0; channelMask != 0; ++c) {
        const std::uint64_t lowest = channelMask & (~channelMask + 1);
        if (c == index) {
            return (lowest & kEffects) != 0;
        }
        channelMask &= channelMask - 1;
    }
    return false;
}

} // namespace taln
