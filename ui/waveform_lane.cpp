#include "ui/waveform_lane.h"

#include "ui/look.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace taln {

namespace {

constexpr double kCornerRadius = 8.0;
constexpr double kOutlineWidth = 2.0;
constexpr double kTitlePadding = 8.0;
// The loudest bucket at the scale reaches 95 % of half the height: a little headroom so
// the peaks never touch the lane's rounded edge.
constexpr double kHeadroom = 0.95;
// The noise marks: a band 4 px high along the bottom edge, low enough not to hide the
// waveform; the pointer finds it within 12 px of the edge.
constexpr double kMarkHeight = 4.0;
constexpr double kMarkHitHeight = 12.0;
constexpr double kMarkOpacity = 0.45;
constexpr double kSelectionOpacity = 0.18;

} // namespace

WaveformLane::WaveformLane(QString title, QColor color, QWidget* parent)
    : QWidget(parent), title_(std::move(title)), color_(color) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void WaveformLane::setPeaks(std::vector<Peak> peaks) {
    peaks_ = std::move(peaks);
    update();
}

void WaveformLane::setScale(float scale) {
    scale_ = scale;
    update();
}

void WaveformLane::setActive(bool active) {
    active_ = active;
    update();
}

void WaveformLane::setNoiseMarks(std::vector<Span> marks) {
    marks_ = std::move(marks);
    update();
}

void WaveformLane::setSelection(std::optional<Span> selection) {
    selection_ = selection;
    update();
}

std::vector<std::pair<int, int>> WaveformLane::markColumns(const std::vector<Span>& marks,
                                                           double width) {
    std::vector<std::pair<int, int>> runs;
    const int cols = std::isfinite(width) && width >= 1.0 ? static_cast<int>(width) : 1;
    for (const Span& mark : marks) {
        const int first = std::clamp(static_cast<int>(std::floor(mark.from * cols)), 0, cols - 1);
        const int end = std::clamp(static_cast<int>(std::ceil(mark.to * cols)), first + 1, cols);
        if (!runs.empty() && first <= runs.back().second) {
            runs.back().second = std::max(runs.back().second, end);
        } else {
            runs.emplace_back(first, end);
        }
    }
    return runs;
}

bool WaveformLane::noiseMarkAt(QPointF point) const {
    if (point.y() < height() - kMarkHitHeight || point.y() > height()) {
        return false;
    }
    const auto column = static_cast<int>(std::floor(point.x()));
    for (const auto& [first, end] : markColumns(marks_, width())) {
        if (column >= first && column < end) {
            return true;
        }
    }
    return false;
}

QSize WaveformLane::sizeHint() const {
    return {400, 120};
}

QSize WaveformLane::minimumSizeHint() const {
    return {40, 40};
}

std::vector<QRectF> WaveformLane::bars(const std::vector<Peak>& peaks, float scale, double width,
                                       double height) {
    std::vector<QRectF> result;
    if (peaks.empty() || !(scale > 0.0f) || !std::isfinite(scale)) {
        return result;
    }
    const double mid = height * 0.5;
    std::int64_t cols = std::isfinite(width) ? static_cast<std::int64_t>(width) : 0;
    if (cols <= 0) {
        cols = 1;
    }
    const auto n = static_cast<std::int64_t>(peaks.size());
    result.reserve(static_cast<std::size_t>(cols));
    for (std::int64_t c = 0; c < cols; ++c) {
        const std::int64_t a = (c * n) / cols;
        const std::int64_t b = ((c + 1) * n) / cols;
        const std::int64_t end = std::min(std::max(b, a + 1), n);
        float lo = 0.0f;
        float hi = 0.0f;
        for (std::int64_t i = a; i < end; ++i) {
            lo = std::min(lo, peaks[static_cast<std::size_t>(i)].lo);
            hi = std::max(hi, peaks[static_cast<std::size_t>(i)].hi);
        }
        const float hiRatio = hi / scale;
        const float loRatio = lo / scale;
        const double yTop = mid - mid * static_cast<double>(hiRatio) * kHeadroom;
        const double yBottom = mid - mid * static_cast<double>(loRatio) * kHeadroom;
        result.emplace_back(static_cast<double>(c), yTop, 1.0, std::max(yBottom - yTop, 1.0));
    }
    return result;
}

void WaveformLane::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();

    QPainterPath shape;
    shape.addRoundedRect(bounds, kCornerRadius, kCornerRadius);
    painter.setClipPath(shape);

    painter.fillPath(shape, look::primary(this, 0.05));

    if (selection_) {
        const double left = selection_->from * bounds.width();
        const double right = selection_->to * bounds.width();
        QColor shade = look::accent(this);
        shade.setAlphaF(kSelectionOpacity);
        painter.fillRect(QRectF(left, 0.0, std::max(right - left, 1.0), bounds.height()), shade);
    }

    const double mid = bounds.height() * 0.5;
    QPen centre(look::primary(this, 0.5 * 0.3), 0.5);
    painter.setPen(centre);
    painter.drawLine(QPointF(0.0, mid), QPointF(bounds.width(), mid));

    // All bars in one path, filled once: two drawing calls per lane whatever the width.
    QPainterPath barPath;
    barPath.setFillRule(Qt::WindingFill);
    for (const QRectF& bar : bars(peaks_, scale_, bounds.width(), bounds.height())) {
        barPath.addRect(bar);
    }
    painter.fillPath(barPath, color_);

    QPainterPath markPath;
    for (const auto& [first, end] : markColumns(marks_, bounds.width())) {
        markPath.addRect(QRectF(first, bounds.height() - kMarkHeight, end - first, kMarkHeight));
    }
    painter.fillPath(markPath, look::primary(this, kMarkOpacity));

    painter.setFont(look::font(look::TextStyle::caption));
    QFont titleFont = painter.font();
    titleFont.setWeight(QFont::DemiBold);
    painter.setFont(titleFont);
    painter.setPen(look::secondary(this));
    painter.drawText(bounds.adjusted(kTitlePadding, kTitlePadding, -kTitlePadding, -kTitlePadding),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, title_);

    if (active_) {
        // Centred on the edge and clipped by the shape, so its inner 1 px shows.
        QPen outline(color_, kOutlineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
        painter.setPen(outline);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);
    }
}

} // namespace taln
