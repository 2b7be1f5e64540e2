#include "ui/text_format.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace taln {

namespace {

// A 64-bit conversion of a larger magnitude is undefined; no real recording comes near
// 2^62 seconds, so anything at or past it is held there.
constexpr double kLargestSeconds = 4.0e18;
// Times are products of fractions: 0.7 of 3 s is 2.0999... This much slack keeps such a time on its
// tenth without moving any real time (a frame is 5 to 125 µs) to the next one.
constexpr double kTenthSlack = 1e-6;

// Whole tenths in `seconds`, floored; 0 for values that are not finite or below zero.
std::int64_t tenthsOf(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) {
        return 0;
    }
    return static_cast<std::int64_t>(
        std::floor(std::min(seconds, kLargestSeconds / 10.0) * 10.0 + kTenthSlack));
}

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

QString formatTenths(double seconds) {
    const std::int64_t tenths = tenthsOf(seconds);
    return formatTime(static_cast<double>(tenths / 10)) +
           QString::asprintf(".%lld", static_cast<long long>(tenths % 10));
}

QString selectionText(double from, double to) {
    const double length = std::max(0.0, to - from);
    const std::int64_t tenths = tenthsOf(length);
    const QString span = length < 60.0
                             ? QString::asprintf("%lld.%lld s", static_cast<long long>(tenths / 10),
                                                 static_cast<long long>(tenths % 10))
                             : formatTenths(length);
    return formatTenths(from) + QStringLiteral(" – ") + formatTenths(to) + QStringLiteral(" (") +
           span + QStringLiteral(")");
}

QString formatStrength(double strength) {
    if (!std::isfinite(strength)) {
        strength = 0.0;
    }
    const auto value = static_cast<long long>(std::trunc(std::clamp(strength, 0.0, 100.0)));
    return QString::asprintf("%lld %%", value);
}

namespace {

// Words up to this many characters wrap as a whole; a longer one (a path, a file name
// without spaces) may break anywhere.
constexpr qsizetype kLongWord = 24;
constexpr QChar kZeroWidthSpace(0x200B);

} // namespace

QString loadingText(double progress) {
    const QString title = QStringLiteral("Reading audio…");
    if (!std::isfinite(progress) || progress < 0.0) {
        return title;
    }
    const int percent = static_cast<int>(std::clamp(progress, 0.0, 1.0) * 100.0);
    return title + QStringLiteral(" %1 %").arg(percent);
}

QString breakable(const QString& text) {
    QString out;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype end = at;
        while (end < text.size() && !text[end].isSpace()) {
            ++end;
        }
        const bool isLong = end - at > kLongWord;
        for (qsizetype k = at; k < end; ++k) {
            out += text[k];
            // Never between the two halves of a surrogate pair.
            if (isLong && k + 1 < end && !text[k].isHighSurrogate()) {
                out += kZeroWidthSpace;
            }
        }
        while (end < text.size() && text[end].isSpace()) {
            out += text[end++];
        }
        at = end;
    }
    return out;
}

} // namespace taln
