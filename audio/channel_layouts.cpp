#include "audio/channel_layouts.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <bit>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <string>

namespace taln::ChannelLayouts {
namespace {

constexpr std::uint64_t kAacLayouts[] = {
    AV_CH_LAYOUT_MONO,         AV_CH_LAYOUT_STEREO,       AV_CH_LAYOUT_2POINT1,
    AV_CH_LAYOUT_SURROUND,     AV_CH_LAYOUT_4POINT0,      AV_CH_LAYOUT_QUAD,
    AV_CH_LAYOUT_5POINT0_BACK, AV_CH_LAYOUT_5POINT1_BACK, AV_CH_LAYOUT_6POINT1,
    AV_CH_LAYOUT_7POINT1,
};

constexpr std::uint64_t kOpusLayouts[] = {
    AV_CH_LAYOUT_MONO,    AV_CH_LAYOUT_STEREO,       AV_CH_LAYOUT_SURROUND,
    AV_CH_LAYOUT_QUAD,    AV_CH_LAYOUT_5POINT0_BACK, AV_CH_LAYOUT_5POINT1_BACK,
    AV_CH_LAYOUT_6POINT1, AV_CH_LAYOUT_7POINT1,
};

constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                             22050, 16000, 12000, 11025, 8000,  7350};

constexpr int kOpusRate = 48000;

int countOf(std::uint64_t mask) {
    return std::popcount(mask);
}

// A side channel and the back channel on the same side stand in for each other.
bool similar(int a, int b) {
    const auto pair = [&](int x, int y) { return (a == x && b == y) || (a == y && b == x); };
    return pair(AV_CHAN_SIDE_LEFT, AV_CHAN_BACK_LEFT) ||
           pair(AV_CHAN_SIDE_RIGHT, AV_CHAN_BACK_RIGHT);
}

Mapping mapOnto(std::uint64_t source, std::uint64_t target) {
    const int n = countOf(target);
    Mapping mapping;
    mapping.mask = target;
    std::array<bool, 8> used{};
    std::array<bool, 8> assigned{};
    const auto assign = [&](auto matches) {
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n && !assigned[i]; ++j) {
                if (!used[j] && matches(channelAt(source, j), channelAt(target, i))) {
                    mapping.from[i] = j;
                    used[j] = assigned[i] = true;
                }
            }
        }
    };
    assign([](int s, int t) { return s == t; });
    assign([](int s, int t) { return similar(s, t); });
    assign([](int, int) { return true; });
    return mapping;
}

// The layout of `candidates` with the channel count of `source` that shares the most channels
// with it (a similar one counting half), the first of those on a tie.
Mapping nearest(std::uint64_t source, std::span<const std::uint64_t> candidates) {
    const int n = countOf(source);
    int bestScore = -1;
    std::uint64_t best = 0;
    for (const std::uint64_t candidate : candidates) {
        if (candidate == source) {
            return mapOnto(source, source);
        }
        if (countOf(candidate) != n) {
            continue;
        }
        int score = 0;
        for (int i = 0; i < n; ++i) {
            const int wanted = channelAt(candidate, i);
            for (int j = 0; j < n; ++j) {
                const int have = channelAt(source, j);
                score += have == wanted ? 2 : similar(have, wanted) ? 1 : 0;
            }
        }
        if (score > bestScore) {
            bestScore = score;
            best = candidate;
        }
    }
    return mapOnto(source, bestScore >= 0 ? best : source);
}

} // namespace

std::uint64_t maskFor(std::uint64_t mask, int channelCount) {
    if (channelCount < 1 || channelCount > 8) {
        throw std::invalid_argument("Audio of " + std::to_string(channelCount) +
                                    " channels cannot be written: 1 to 8 can.");
    }
    if (mask == 0) {
        AVChannelLayout standard{};
        av_channel_layout_default(&standard, channelCount);
        return standard.u.mask;
    }
    if (countOf(mask) != channelCount) {
        throw std::invalid_argument("The channel layout names " + std::to_string(countOf(mask)) +
                                    " channels for audio of " + std::to_string(channelCount) + ".");
    }
    return mask;
}

int channelAt(std::uint64_t mask, int index) {
    for (int bit = 0; bit < 64; ++bit) {
        if ((mask >> bit) & 1u) {
            if (index-- == 0) {
                return bit;
            }
        }
    }
    return AV_CHAN_NONE;
}

bool Mapping::keepsOrder() const {
    for (int i = 0; i < countOf(mask); ++i) {
        if (from[static_cast<std::size_t>(i)] != i) {
            return false;
        }
    }
    return true;
}

Mapping mappingFor(Codec codec, std::uint64_t mask) {
    switch (codec) {
    case Codec::aac:
        return nearest(mask, kAacLayouts);
    case Codec::opus:
        return nearest(mask, kOpusLayouts);
    case Codec::pcm:
    case Codec::flac:
        break;
    }
    return mapOnto(mask, mask);
}

int rateFor(Codec codec, int rate) {
    if (codec == Codec::opus) {
        return kOpusRate;
    }
    if (codec != Codec::aac) {
        return rate;
    }
    int nearestRate = kAacRates[0];
    for (const int r : kAacRates) {
        if (r == rate) {
            return rate;
        }
        if (rate > kAacRates[0] && r * 2 == rate) {
            return r;
        }
        if (std::abs(r - rate) < std::abs(nearestRate - rate)) {
            nearestRate = r;
        }
    }
    return nearestRate;
}

} // namespace taln::ChannelLayouts
