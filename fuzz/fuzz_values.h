#pragma once

// Float values for the harnesses: a special value from a harness's own list, a raw bit
// pattern (any NaN payload, denormal or huge value), or an ordinary value in a range.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace taln::fuzz {

template <std::size_t N>
float pickSpecial(FuzzedDataProvider& input, const std::array<float, N>& special) {
    return special[input.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// One in four a special value, one in four raw bits, otherwise uniform in [-range, range].
template <std::size_t N>
float anyFloat(FuzzedDataProvider& input, const std::array<float, N>& special, float range) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return pickSpecial(input, special);
    case 1: {
        const auto bits = input.ConsumeIntegral<std::uint32_t>();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    default:
        return input.ConsumeFloatingPointInRange<float>(-range, range);
    }
}

} // namespace taln::fuzz
