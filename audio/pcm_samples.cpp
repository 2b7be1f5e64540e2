#include "audio/pcm_samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace taln::PcmSamples {
namespace {

// Written without branches or calls so that the loops below vectorise: adding and taking away
// 1.5 · 2^23 rounds any float under 2^22 in size to an integer, exactly (the 16-bit range is
// far inside), and 1.5 · 2^52 does the same for any double under 2^51.
constexpr float kRoundFloat = 12582912.0f;
constexpr double kRoundDouble = 6755399441055744.0;

inline std::int16_t toInt16(float sample) {
    float scaled = sample * 32768.0f;
    scaled = scaled == scaled ? scaled : 0.0f;
    scaled = std::min(std::max(scaled, -32768.0f), 32767.0f);
    return static_cast<std::int16_t>(static_cast<int>((scaled + kRoundFloat) - kRoundFloat));
}

// 24 and 32 bits in double: a float holds 24 significant bits, so its product with 2^31 is
// exact in double, and the rounding sees the whole fraction.
inline std::int32_t toInteger(float sample, double scale) {
    double scaled = static_cast<double>(sample) * scale;
    scaled = scaled == scaled ? scaled : 0.0;
    scaled = std::min(std::max(scaled, -scale), scale - 1.0);
    return static_cast<std::int32_t>((scaled + kRoundDouble) - kRoundDouble);
}

constexpr double kScale24 = 8388608.0;
constexpr double kScale32 = 2147483648.0;

// Frames [0, n) of the channels, interleaved into `out` as 16-bit samples; stereo and mono
// have loops of their own so that they vectorise.
void interleaveInt16(std::span<const float* const> channels, std::int64_t n, std::int16_t* out) {
    const auto channelCount = static_cast<std::int64_t>(channels.size());
    if (channelCount == 2) {
        const float* left = channels[0];
        const float* right = channels[1];
        for (std::int64_t i = 0; i < n; ++i) {
            out[2 * i] = toInt16(left[i]);
            out[2 * i + 1] = toInt16(right[i]);
        }
        return;
    }
    if (channelCount == 1) {
        const float* source = channels[0];
        for (std::int64_t i = 0; i < n; ++i) {
            out[i] = toInt16(source[i]);
        }
        return;
    }
    for (std::int64_t c = 0; c < channelCount; ++c) {
        const float* source = channels[static_cast<std::size_t>(c)];
        for (std::int64_t i = 0; i < n; ++i) {
            out[i * channelCount + c] = toInt16(source[i]);
        }
    }
}

void interleaveInt24(std::span<const float* const> channels, std::int64_t n, std::uint8_t* out) {
    const auto channelCount = static_cast<std::int64_t>(channels.size());
    for (std::int64_t c = 0; c < channelCount; ++c) {
        const float* source = channels[static_cast<std::size_t>(c)];
        std::uint8_t* to = out + 3 * c;
        for (std::int64_t i = 0; i < n; ++i, to += 3 * channelCount) {
            const auto value = static_cast<std::uint32_t>(toInteger(source[i], kScale24));
            to[0] = static_cast<std::uint8_t>(value);
            to[1] = static_cast<std::uint8_t>(value >> 8);
            to[2] = static_cast<std::uint8_t>(value >> 16);
        }
    }
}

template <class Out, class Convert>
void interleaveWith(std::span<const float* const> channels, std::int64_t n, Out* out,
                    Convert convert) {
    const auto channelCount = static_cast<std::int64_t>(channels.size());
    for (std::int64_t c = 0; c < channelCount; ++c) {
        const float* source = channels[static_cast<std::size_t>(c)];
        for (std::int64_t i = 0; i < n; ++i) {
            out[i * channelCount + c] = convert(source[i]);
        }
    }
}

} // namespace

int bytesPerSample(Encoding encoding) {
    switch (encoding) {
    case Encoding::int16:
        return 2;
    case Encoding::int24:
        return 3;
    case Encoding::int32:
    case Encoding::float32:
        return 4;
    }
    return 4;
}

void interleave(Encoding encoding, std::span<const float* const> channels, std::int64_t n,
                std::uint8_t* out) {
    switch (encoding) {
    case Encoding::int16:
        interleaveInt16(channels, n, reinterpret_cast<std::int16_t*>(out));
        return;
    case Encoding::int24:
        interleaveInt24(channels, n, out);
        return;
    case Encoding::int32:
        interleaveWith(channels, n, reinterpret_cast<std::int32_t*>(out),
                       [](float s) { return toInteger(s, kScale32); });
        return;
    case Encoding::float32:
        interleaveWith(channels, n, reinterpret_cast<float*>(out),
                       [](float s) { return std::isfinite(s) ? s : 0.0f; });
        return;
    }
}

void interleaveInt24In32(std::span<const float* const> channels, std::int64_t n,
                         std::int32_t* out) {
    interleaveWith(channels, n, out, [](float s) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(toInteger(s, kScale24)) << 8);
    });
}

} // namespace taln::PcmSamples
