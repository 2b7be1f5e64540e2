#pragma once

// StereoDownmix: how the player sounds a recording of any layout on a stereo output. The
// exports keep every channel; only what is heard is folded.
//
// Mono plays on both sides at full level and stereo as it is, so what most recordings play
// is the very samples. Beyond two channels the fold is the usual one (ITU-R BS.775): the
// left channels to the left, the right ones to the right, the centre and the back centre to
// both at -3 dB, the side and back pairs at -3 dB, the LFE left out (a speaker pair plays no
// 20-120 Hz effects channel usefully); then both sides are scaled by one factor so that no
// sum of full-scale channels can exceed full scale (a 5.1 mix at full scale would clip by
// 7.7 dB otherwise). Both tracks go through the same fold, so the comparison stays fair.
//
// Thread: any; a value. Allocation: none.

#include <array>
#include <cstdint>

namespace taln {

struct StereoDownmix {
    static constexpr int kMaxChannels = 8;

    // Per channel, its weight on the left and on the right output.
    std::array<float, kMaxChannels> left{};
    std::array<float, kMaxChannels> right{};

    // The fold of `channels` (1 to 8) channels laid out as `channelMask` (FFmpeg's native
    // mask; 0, or a mask whose bit count is not `channels`, means the standard layout for
    // the count).
    static StereoDownmix forLayout(int channels, std::uint64_t channelMask);
};

} // namespace taln
