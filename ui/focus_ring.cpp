#include "ui/focus_ring.h"

#include "ui/look.h"

#include <QPainter>

namespace taln {

namespace {

constexpr int kWidth = 2;
constexpr double kRadius = 6.0;

} // namespace

FocusRing::FocusRing(QWidget* owner) : QWidget(owner) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    hide();
}

void FocusRing::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(look::accent(this), kWidth));
    painter.setBrush(Qt::NoBrush);
    const double inset = kWidth / 2.0;
    painter.drawRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), kRadius,
                            kRadius);
}

} // namespace taln
