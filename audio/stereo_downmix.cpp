#include "audio/stereo_downmix.h"

#include "audio/audio_format.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>

namespace taln {

StereoDownmix StereoDownmix::forLayout(int channels, std::uint64_t channelMask) {
    StereoDownmix fold;
    channels = std::clamp(channels, 1, kMaxChannels);
    if (channels == 1) {
        fold.left[0] = fold.right[0] = 1.0f;
        return fold;
    }
    if (std::popcount(channelMask) != channels) {
        channelMask = standardChannelMask(channels);
    }
    constexpr float kHalfPower = std::numbers::sqrt2_v<float> / 2.0f; // -3 dB
    constexpr std::uint64_t kLeft =
        AV_CH_FRONT_LEFT | AV_CH_FRONT_LEFT_OF_CENTER | AV_CH_WIDE_LEFT | AV_CH_STEREO_LEFT;
    constexpr std::uint64_t kRight =
        AV_CH_FRONT_RIGHT | AV_CH_FRONT_RIGHT_OF_CENTER | AV_CH_WIDE_RIGHT | AV_CH_STEREO_RIGHT;
    constexpr std::uint64_t kSurroundLeft = AV_CH_BACK_LEFT | AV_CH_SIDE_LEFT |
                                            AV_CH_TOP_FRONT_LEFT | AV_CH_TOP_BACK_LEFT |
                                            AV_CH_SURROUND_DIRECT_LEFT;
    constexpr std::uint64_t kSurroundRight = AV_CH_BACK_RIGHT | AV_CH_SIDE_RIGHT |
                                             AV_CH_TOP_FRONT_RIGHT | AV_CH_TOP_BACK_RIGHT |
                                             AV_CH_SURROUND_DIRECT_RIGHT;
    constexpr std::uint64_t kCentre =
        AV_CH_FRONT_CENTER | AV_CH_TOP_CENTER | AV_CH_TOP_FRONT_CENTER;
    constexpr std::uint64_t kBackCentre = AV_CH_BACK_CENTER | AV_CH_TOP_BACK_CENTER;
    constexpr std::uint64_t kEffects = AV_CH_LOW_FREQUENCY | AV_CH_LOW_FREQUENCY_2;

    int c = 0;
    for (int bit = 0; bit < 64 && c < channels; ++bit) {
        const std::uint64_t channel = std::uint64_t{1} << bit;
        if ((channelMask & channel) == 0) {
            continue;
        }
        float l = 0.0f;
        float r = 0.0f;
        if (channel & kLeft) {
            l = 1.0f;
        } else if (channel & kRight) {
            r = 1.0f;
        } else if (channel & kSurroundLeft) {
            l = kHalfPower;
        } else if (channel & kSurroundRight) {
            r = kHalfPower;
        } else if (channel & kCentre) {
            l = r = kHalfPower;
        } else if (channel & kBackCentre) {
            l = r = 0.5f;
        } else if ((channel & kEffects) == 0) {
            l = r = kHalfPower; // a channel of no known side plays in the middle
        }
        fold.left[static_cast<std::size_t>(c)] = l;
        fold.right[static_cast<std::size_t>(c)] = r;
        ++c;
    }
    float loudest = 0.0f;
    float leftSum = 0.0f;
    float rightSum = 0.0f;
    for (int i = 0; i < channels; ++i) {
        leftSum += fold.left[static_cast<std::size_t>(i)];
        rightSum += fold.right[static_cast<std::size_t>(i)];
    }
    loudest = std::max(leftSum, rightSum);
    if (loudest > 1.0f) {
        for (int i = 0; i < channels; ++i) {
            fold.left[static_cast<std::size_t>(i)] /= loudest;
            fold.right[static_cast<std::size_t>(i)] /= loudest;
        }
    }
    return fold;
}

} // namespace taln
