#include "ui/busy_spinner.h"

#include "ui/look.h"

#include <QPainter>
#include <QtMath>

namespace taln {

namespace {

// Twelve spokes, one step every 80 ms: a full turn a second, the usual spinner pace.
constexpr int kSpokes = 12;
constexpr int kStepMilliseconds = 80;

} // namespace

BusySpinner::BusySpinner(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    timer_.setInterval(kStepMilliseconds);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % kSpokes;
        update();
    });
}

QSize BusySpinner::sizeHint() const {
    // The small control size: about the height of a line of body text.
    const int side = fontMetrics().height();
    return {side, side};
}

void BusySpinner::showEvent(QShowEvent* event) {
    timer_.start();
    QWidget::showEvent(event);
}

void BusySpinner::hideEvent(QHideEvent* event) {
    timer_.stop();
    QWidget::hideEvent(event);
}

void BusySpinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    const double outer = side / 2.0;
    const double inner = outer * 0.45;
    QColor color = look::primary(this, 1.0);
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at the current step is darkest; the ones behind it fade out.
        const int age = (step_ - i + kSpokes) % kSpokes;
        color.setAlphaF(static_cast<float>(0.85 - 0.7 * age / (kSpokes - 1)));
        QPen pen(color, std::max(1.5, side / 10.0), Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        const double angle = 2.0 * M_PI * i / kSpokes;
        painter.drawLine(QPointF(inner * std::sin(angle), -inner * std::cos(angle)),
                         QPointF(outer * 0.9 * std::sin(angle), -outer * 0.9 * std::cos(angle)));
    }
}

} // namespace taln
