#include "ui/time_ruler.h"

#include "ui/look.h"

#include <QPainter>
#include <algorithm>
#include <array>
#include <cmath>

namespace taln {

namespace {

// Steps in seconds, shortest first, with the number of parts the ticks between labels cut
// them into.
struct Step {
    double seconds;
    int parts;
};
constexpr std::array kSteps{
    Step{0.001, 5},  Step{0.002, 4},  Step{0.005, 5}, Step{0.01, 5},  Step{0.02, 4},
    Step{0.05, 5},   Step{0.1, 5},    Step{0.2, 4},   Step{0.5, 5},   Step{1.0, 5},
    Step{2.0, 4},    Step{5.0, 5},    Step{10.0, 5},  Step{15.0, 3},  Step{30.0, 3},
    Step{60.0, 4},   Step{120.0, 4},  Step{300.0, 5}, Step{600.0, 5}, Step{900.0, 3},
    Step{1800.0, 3}, Step{3600.0, 4},
};

constexpr int kMajorTick = 6;
constexpr int kMinorTick = 3;
constexpr int kLabelGap = 3;

// "m:ss" with as many decimals as the step needs: `units` is the time in 10^-decimals s.
QString label(long long units, int decimals) {
    long long scale = 1;
    for (int d = 0; d < decimals; ++d) {
        scale *= 10;
    }
    const long long whole = units / scale;
    QString text = QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
    if (decimals > 0) {
        text += QString::asprintf(".%0*lld", decimals, units % scale);
    }
    return text;
}

int decimalsFor(double step) {
    return step >= 1.0 ? 0 : step >= 0.1 ? 1 : step >= 0.01 ? 2 : 3;
}

} // namespace

TimeRuler::TimeRuler(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFont(look::font(look::TextStyle::caption));
}

void TimeRuler::setSpan(double fromSeconds, double toSeconds) {
    if (fromSeconds == from_ && toSeconds == to_) {
        return;
    }
    from_ = fromSeconds;
    to_ = toSeconds;
    update();
}

std::vector<TimeRuler::Tick> TimeRuler::ticks(double fromSeconds, double toSeconds, double width,
                                              double labelSpacing) {
    std::vector<Tick> result;
    const double span = toSeconds - fromSeconds;
    if (!(span > 0.0) || !(width > 0.0) || !std::isfinite(span) || !std::isfinite(fromSeconds)) {
        return result;
    }
    const double perPixel = span / width;
    const Step* step = &kSteps.back();
    for (const Step& candidate : kSteps) {
        if (candidate.seconds / perPixel >= labelSpacing) {
            step = &candidate;
            break;
        }
    }
    // Ticks are counted in minor steps from 0 s, so each sits on an exact multiple.
    const double minor = step->seconds / step->parts;
    const int decimals = decimalsFor(step->seconds);
    const double unitsPerSecond = std::pow(10.0, decimals);
    const auto first = static_cast<long long>(std::ceil(std::max(fromSeconds, 0.0) / minor - 1e-9));
    const auto last = static_cast<long long>(std::floor(toSeconds / minor + 1e-9));
    for (long long k = first; k <= last; ++k) {
        const double seconds = static_cast<double>(k) * minor;
        Tick tick{(seconds - fromSeconds) / perPixel, {}};
        if (k % step->parts == 0) {
            tick.label = label(std::llround(seconds * unitsPerSecond), decimals);
        }
        result.push_back(tick);
    }
    return result;
}

QSize TimeRuler::sizeHint() const {
    return {400, fontMetrics().height() + kMajorTick + kLabelGap};
}

QSize TimeRuler::minimumSizeHint() const {
    return {40, sizeHint().height()};
}

void TimeRuler::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QFontMetrics metrics = fontMetrics();
    // Room for the longest label the current step can give, and a gap.
    const double spacing = metrics.horizontalAdvance(QStringLiteral("00:00.00")) * 1.2;
    const QColor text = look::secondary(this);
    QColor line = text;
    line.setAlphaF(0.6f);
    const int bottom = height();
    for (const Tick& tick : ticks(from_, to_, width(), spacing)) {
        const double x = std::round(tick.x) + 0.5;
        painter.setPen(QPen(line, 1.0));
        const int length = tick.label.isEmpty() ? kMinorTick : kMajorTick;
        painter.drawLine(QPointF(x, bottom - length), QPointF(x, bottom));
        if (!tick.label.isEmpty()) {
            painter.setPen(text);
            // Labels start at their tick; one that would run past the edge is left out.
            if (x + kLabelGap + metrics.horizontalAdvance(tick.label) <= width()) {
                painter.drawText(QPointF(x + kLabelGap, metrics.ascent()), tick.label);
            }
        }
    }
}

} // namespace taln
