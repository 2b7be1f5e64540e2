#include "ui/waveform_lane.h"

#include "ui/look.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPaintEngine>
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
// What the running cleaning has not reached: veiled in the window colour, so the earlier
// version shows at a third of its contrast, and hatched, so it reads as "not yet" and not as a
// quiet stretch; 45° lines 6 px apart.
constexpr double kPendingVeil = 0.65;
constexpr double kPendingHatchOpacity = 0.22;
constexpr double kPendingHatchSpacing = 6.0;

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

void WaveformLane::setTitle(const QString& title) {
    title_ = title;
    update();
}

void WaveformLane::setView(ViewRange view) {
    view_ = view;
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

void WaveformLane::setPending(std::vector<Span> pending) {
    pending_ = std::move(pending);
    update();
}

std::vector<WaveformLane::Span>
WaveformLane::spansOf(const std::vector<NoiseChoice::Stretch>& stretches, double frames) {
    std::vector<WaveformLane::Span> spans;
    if (frames > 0.0) {
        for (const NoiseChoice::Stretch& s : stretches) {
            spans.push_back(
                {static_cast<double>(s.first) / frames, static_cast<double>(s.last) / frames});
        }
    }
    return spans;
}

void WaveformLane::startPicture(int columns, int rows, ViewRange range) {
    // The picture shown so far stays under the new one until every column of that has come;
    // if the current one has no column in yet, the one under it stays instead.
    if (picture_ && (!previous_ || picture_->missing < static_cast<int>(picture_->filled.size()))) {
        previous_ = std::move(picture_);
    }
    Picture picture;
    picture.image =
        QImage(std::max(columns, 1), std::max(rows, 1), QImage::Format_ARGB32_Premultiplied);
    picture.image.fill(Qt::transparent);
    picture.range = range;
    picture.missing = picture.image.width();
    picture.filled.assign(static_cast<std::size_t>(picture.image.width()), false);
    picture_ = std::move(picture);
    update();
}

void WaveformLane::setPictureColumn(int column, const QRgb* bottomUp) {
    if (!picture_ || column < 0 || column >= picture_->image.width()) {
        return;
    }
    QImage& image = picture_->image;
    const int rows = image.height();
    for (int r = 0; r < rows; ++r) {
        reinterpret_cast<QRgb*>(image.scanLine(rows - 1 - r))[column] = bottomUp[r];
    }
    if (!picture_->filled[static_cast<std::size_t>(column)]) {
        picture_->filled[static_cast<std::size_t>(column)] = true;
        if (--picture_->missing == 0) {
            previous_.reset();
        }
    }
    update();
}

void WaveformLane::setFrequencyScale(double lowHz, double highHz, bool legend) {
    lowHz_ = lowHz;
    highHz_ = highHz;
    legend_ = legend;
    update();
}

void WaveformLane::stopPicture() {
    picture_.reset();
    previous_.reset();
    update();
}

std::vector<WaveformLane::Span> WaveformLane::inView(const std::vector<Span>& spans,
                                                     ViewRange view) {
    std::vector<Span> shown;
    const double length = view.length();
    if (!(length > 0.0)) {
        return shown;
    }
    for (const Span& span : spans) {
        if (span.to < view.from || span.from > view.to) {
            continue;
        }
        shown.push_back({std::max(0.0, (span.from - view.from) / length),
                         std::min(1.0, (span.to - view.from) / length)});
    }
    return shown;
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
    const bool atTop = picture_.has_value();
    if (atTop ? (point.y() < 0.0 || point.y() > kMarkHitHeight)
              : (point.y() < height() - kMarkHitHeight || point.y() > height())) {
        return false;
    }
    const auto column = static_cast<int>(std::floor(point.x()));
    for (const auto& [first, end] : markColumns(inView(marks_, view_), width())) {
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

void WaveformLane::drawPicture(QPainter& painter, const Picture& picture,
                               const QRectF& bounds) const {
    const double left = view_.xOf(picture.range.from, bounds.width());
    const double right = view_.xOf(picture.range.to, bounds.width());
    painter.drawImage(QRectF(left, 0.0, right - left, bounds.height()), picture.image);
}

void WaveformLane::drawScales(QPainter& painter, const QRectF& bounds) const {
    if (!(lowHz_ > 0.0) || !(highHz_ > lowHz_)) {
        return;
    }
    QFont font = look::font(look::TextStyle::caption);
    painter.setFont(font);
    const QFontMetricsF metrics(font);
    QColor backing = palette().color(QPalette::Window);
    backing.setAlphaF(0.85f);
    const QColor text = look::secondary(this);
    const auto label = [&](const QRectF& box, const QString& words, Qt::Alignment align) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(backing);
        painter.drawRoundedRect(box, 3.0, 3.0);
        painter.setPen(text);
        painter.drawText(box.adjusted(3.0, 0.0, -3.0, 0.0), align | Qt::AlignVCenter, words);
    };
    // The frequency scale: a label at each decade's 1, 2 and 5 where there is room.
    const double span = std::log(highHz_ / lowHz_);
    double lastTop = bounds.height();
    for (const double hz :
         {100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0, 20000.0, 50000.0}) {
        if (hz <= lowHz_ || hz >= highHz_) {
            continue;
        }
        const double y = bounds.height() * (1.0 - std::log(hz / lowHz_) / span);
        const QString words = hz >= 1000.0 ? QString::number(hz / 1000.0) + QStringLiteral(" kHz")
                                           : QString::number(hz) + QStringLiteral(" Hz");
        const double w = metrics.horizontalAdvance(words) + 6.0;
        const QRectF box(bounds.width() - w - 4.0, y - metrics.height() / 2.0, w, metrics.height());
        if (box.bottom() + 2.0 > lastTop || box.top() < kTitlePadding + metrics.height()) {
            continue;
        }
        label(box, words, Qt::AlignRight);
        lastTop = box.top();
    }
    if (!legend_) {
        return;
    }
    // The colour scale, floor to top, with both ends named.
    constexpr double kLegendWidth = 96.0;
    constexpr double kLegendHeight = 8.0;
    // Printed with the minus sign, not a hyphen.
    const auto decibels = [](float level) {
        return QString::number(static_cast<int>(level)).replace(QLatin1Char('-'), QChar(0x2212));
    };
    const QString low = decibels(look::kSpectrogramFloorDb);
    const QString high = decibels(look::kSpectrogramTopDb) + QStringLiteral(" dB");
    const double lowWidth = metrics.horizontalAdvance(low);
    const double highWidth = metrics.horizontalAdvance(high);
    const double total = lowWidth + kLegendWidth + highWidth + 18.0;
    const QRectF box(bounds.width() - total - 4.0, kTitlePadding - 2.0, total,
                     metrics.height() + 2.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(backing);
    painter.drawRoundedRect(box, 3.0, 3.0);
    painter.setPen(text);
    painter.drawText(QRectF(box.left() + 3.0, box.top(), lowWidth, box.height()), Qt::AlignVCenter,
                     low);
    const QRectF ramp(box.left() + lowWidth + 9.0, box.center().y() - kLegendHeight / 2.0,
                      kLegendWidth, kLegendHeight);
    QLinearGradient gradient(ramp.topLeft(), ramp.topRight());
    constexpr int kStops = 8;
    for (int i = 0; i <= kStops; ++i) {
        const float t = static_cast<float>(i) / kStops;
        gradient.setColorAt(t, QColor::fromRgb(look::spectrogramColor(
                                   look::kSpectrogramFloorDb +
                                   t * (look::kSpectrogramTopDb - look::kSpectrogramFloorDb))));
    }
    painter.fillRect(ramp, gradient);
    painter.drawText(QRectF(ramp.right() + 6.0, box.top(), highWidth, box.height()),
                     Qt::AlignVCenter, high);
}

void WaveformLane::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();
    // Columns are device pixels: two per point at a scale of 2. (The engine's device is what is
    // painted on: the window's backing store, or an image the lane is rendered into.)
    const double ratio = painter.paintEngine()->paintDevice()->devicePixelRatioF();

    QPainterPath shape;
    shape.addRoundedRect(bounds, kCornerRadius, kCornerRadius);
    painter.setClipPath(shape);

    painter.fillPath(shape, look::primary(this, 0.05));

    if (picture_) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        if (previous_) {
            drawPicture(painter, *previous_, bounds);
        }
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        drawPicture(painter, *picture_, bounds);
    }

    if (selection_) {
        const double left = view_.xOf(selection_->from, bounds.width());
        const double right = view_.xOf(selection_->to, bounds.width());
        QColor shade = look::accent(this);
        shade.setAlphaF(picture_ ? 2 * kSelectionOpacity : kSelectionOpacity);
        painter.fillRect(QRectF(left, 0.0, std::max(right - left, 1.0 / ratio), bounds.height()),
                         shade);
    }

    const double mid = bounds.height() * 0.5;
    if (!picture_) {
        QPen centre(look::primary(this, 0.5 * 0.3), 0.5);
        painter.setPen(centre);
        painter.drawLine(QPointF(0.0, mid), QPointF(bounds.width(), mid));
    }

    painter.save();
    painter.scale(1.0 / ratio, 1.0 / ratio);
    const double columns = bounds.width() * ratio;
    if (!picture_) {
        // All bars in one path, filled once: two drawing calls per lane whatever the width.
        QPainterPath barPath;
        barPath.setFillRule(Qt::WindingFill);
        for (const QRectF& bar : bars(peaks_, scale_, columns, bounds.height() * ratio)) {
            barPath.addRect(bar);
        }
        painter.fillPath(barPath, color_);
    }

    const std::vector<Span> pending = inView(pending_, view_);
    if (!pending.empty()) {
        QPainterPath veil;
        for (const Span& span : pending) {
            veil.addRect(QRectF(span.from * columns, 0.0, (span.to - span.from) * columns,
                                bounds.height() * ratio));
        }
        QColor window = palette().color(QPalette::Window);
        window.setAlphaF(kPendingVeil);
        painter.fillPath(veil, window);
        painter.save();
        painter.setClipPath(veil, Qt::IntersectClip);
        painter.setPen(QPen(look::primary(this, kPendingHatchOpacity), ratio));
        const double height = bounds.height() * ratio;
        const double step = kPendingHatchSpacing * ratio;
        for (double x = -height; x < columns; x += step) {
            painter.drawLine(QPointF(x, height), QPointF(x + height, 0.0));
        }
        painter.restore();
    }

    QPainterPath markPath;
    const double markTop = picture_ ? 0.0 : (bounds.height() - kMarkHeight) * ratio;
    for (const auto& [first, end] : markColumns(inView(marks_, view_), columns)) {
        markPath.addRect(QRectF(first, markTop, end - first, kMarkHeight * ratio));
    }
    // Over a picture in the window colour, which stands out against its dark ramp.
    painter.fillPath(markPath, picture_ ? palette().color(QPalette::Window)
                                        : look::primary(this, kMarkOpacity));
    painter.restore();

    if (picture_) {
        drawScales(painter, bounds);
    }

    painter.setFont(look::font(look::TextStyle::caption));
    QFont titleFont = painter.font();
    titleFont.setWeight(QFont::DemiBold);
    painter.setFont(titleFont);
    const QRectF titleArea =
        bounds.adjusted(kTitlePadding, kTitlePadding, -kTitlePadding, -kTitlePadding);
    if (picture_) {
        // A backing under the title, so it reads on any colour of the picture.
        const QRectF behind = painter.boundingRect(titleArea, Qt::AlignLeft | Qt::AlignTop, title_)
                                  .adjusted(-3.0, -1.0, 3.0, 1.0);
        QColor backing = palette().color(QPalette::Window);
        backing.setAlphaF(0.85f);
        painter.setPen(Qt::NoPen);
        painter.setBrush(backing);
        painter.drawRoundedRect(behind, 3.0, 3.0);
    }
    painter.setPen(look::secondary(this));
    painter.drawText(titleArea, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, title_);

    if (active_) {
        // Centred on the edge and clipped by the shape, so its inner 1 px shows.
        QPen outline(color_, kOutlineWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
        painter.setPen(outline);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(shape);
    }
}

} // namespace taln
