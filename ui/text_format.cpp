#include "ui/text_format.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace taln {

namespace {

// A 64-bit conversion of a larger magnitude is undefined; no real recording comes near
// 2^62 seconds, so anything at or past it is held there.
constexpr double kLargestSeconds = 4.0e18;

} // namespace

QString formatTime(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        seconds = 0.0;
    }
    const auto t = static_cast<std::int64_t>(std::floor(std::min(seconds, kLargestSeconds)));
    const std::int64_t minutes = t / 60;
    const std::int64_t rest = t - 60 * minutes;
    return QString::asprintf("%lld:%02lld", static_cast<long long>(minutes),
                             static_cast<long long>(rest));
}

QString formatStrength(double strength) {
    if (!std::isfinite(strength)) {
        strength = 0.0;
    }
    const auto value = static_cast<long long>(std::trunc(std::clamp(strength, 0.0, 100.0)));
    return QString::asprintf("%lld", value);
}

} // namespace taln
