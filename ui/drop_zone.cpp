#include "ui/drop_zone.h"

#include "ui/look.h"
#include "ui/text_format.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace taln {

namespace {

constexpr int kSpacing = 10;
constexpr int kSymbolSize = 46;
constexpr double kCornerRadius = 14.0;
constexpr double kLineWidth = 2.0;
// Dash of 8 px painted, 8 px gap; QPen counts dashes in line widths.
constexpr double kDash = 8.0;
constexpr double kIdleOutlineOpacity = 0.4;

const QString kIdleTitle = QStringLiteral("Drop a voice memo, screencast or recording here");

} // namespace

DropZone::DropZone(QWidget* parent)
    : QWidget(parent), symbol_(new QLabel(this)), title_(new QLabel(kIdleTitle, this)),
      hint_(new QLabel(
          QStringLiteral("Any audio or video file with sound. Everything stays on this computer."),
          this)),
      choose_(new QPushButton(QStringLiteral("Choose File…"), this)) {
    setObjectName(QStringLiteral("dropZone"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    symbol_->setObjectName(QStringLiteral("dropSymbol"));
    symbol_->setAlignment(Qt::AlignCenter);
    title_->setObjectName(QStringLiteral("dropTitle"));
    title_->setTextFormat(Qt::PlainText);
    title_->setFont(look::font(look::TextStyle::title3));
    title_->setAlignment(Qt::AlignCenter);
    hint_->setObjectName(QStringLiteral("dropHint"));
    hint_->setTextFormat(Qt::PlainText);
    hint_->setAlignment(Qt::AlignCenter);
    QPalette hintPalette = hint_->palette();
    hintPalette.setColor(QPalette::WindowText, look::secondary(this));
    hint_->setPalette(hintPalette);
    choose_->setObjectName(QStringLiteral("chooseFileButton"));
    updateSymbol();

    auto* column = new QVBoxLayout(this);
    column->setSpacing(kSpacing);
    column->addStretch(1);
    column->addWidget(symbol_, 0, Qt::AlignHCenter);
    column->addWidget(title_, 0, Qt::AlignHCenter);
    column->addWidget(hint_, 0, Qt::AlignHCenter);
    column->addWidget(choose_, 0, Qt::AlignHCenter);
    column->addStretch(1);

    connect(choose_, &QPushButton::clicked, this, &DropZone::chooseFileRequested);
}

void DropZone::setLoading(bool loading, double progress) {
    title_->setText(loading ? loadingText(progress) : kIdleTitle);
    choose_->setVisible(!loading);
}

void DropZone::setTargeted(bool targeted) {
    if (targeted == targeted_) {
        return;
    }
    targeted_ = targeted;
    update();
}

QColor DropZone::outlineColor() const {
    if (targeted_) {
        return look::accent(this);
    }
    QColor idle = look::secondary(this);
    idle.setAlphaF(idle.alphaF() * static_cast<float>(kIdleOutlineOpacity));
    return idle;
}

void DropZone::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Redrawn in the colours of a new palette.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
        updateSymbol();
    }
}

void DropZone::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateSymbol(); // the window's screen, and so its pixel density, is known only now
}

void DropZone::updateSymbol() {
    symbol_->setPixmap(
        look::waveformSymbol(look::secondary(this), kSymbolSize, devicePixelRatioF()));
}

void DropZone::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // Stroked inside the bounds: inset by half the line width.
    const double inset = kLineWidth / 2.0;
    QPainterPath outline;
    outline.addRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), kCornerRadius,
                           kCornerRadius);
    QPen pen(outlineColor(), kLineWidth, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setDashPattern({kDash / kLineWidth, kDash / kLineWidth});
    pen.setDashOffset(0.0);
    pen.setMiterLimit(10.0);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(outline);
}

} // namespace taln
