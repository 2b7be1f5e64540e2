#include "ui/controls_bar.h"

#include "model/taln_model.h"
#include "ui/look.h"
#include "ui/noise_sample_buttons.h"
#include "ui/text_format.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QProxyStyle>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace taln {

namespace {

constexpr int kRowSpacing = 12;
constexpr int kTransportSpacing = 16;
constexpr int kStrengthSpacing = 12;
// Width of the play symbol's frame, so the button keeps its width when the symbol changes.
constexpr int kPlaySymbolFrame = 22;
constexpr int kPlaySymbolSize = 18;
// Large control size: the buttons are this much taller than the body text line.
constexpr int kLargeButtonExtra = 14;

void setSecondary(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, look::secondary(widget));
    widget->setPalette(palette);
}

// A slider whose track, clicked, moves the handle to the click (Qt's default pages by a tenth).
class ClickToValueStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == QStyle::SH_Slider_AbsoluteSetButtons) {
            return Qt::LeftButton;
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

ControlsBar::ControlsBar(TalnModel* model, QWidget* parent)
    : QWidget(parent), model_(model), play_(new QPushButton(this)), time_(new QLabel(this)),
      compare_(new QPushButton(this)), slider_(new QSlider(Qt::Horizontal, this)),
      value_(new QLabel(this)), hum_(new QLabel(this)), removed_(new QPushButton(this)),
      noise_(new NoiseSampleButtons(model, this)) {
    setObjectName(QStringLiteral("controls"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    const int buttonHeight = fontMetrics().height() + kLargeButtonExtra;

    play_->setObjectName(QStringLiteral("playButton"));
    play_->setIconSize(QSize(kPlaySymbolSize, kPlaySymbolSize));
    play_->setFixedHeight(buttonHeight);
    play_->setMinimumWidth(kPlaySymbolFrame + 2 * kLargeButtonExtra);
    play_->setToolTip(QStringLiteral("Play or pause (Space)"));

    time_->setObjectName(QStringLiteral("timeLabel"));
    time_->setTextFormat(Qt::PlainText);
    time_->setFont(look::monospaceFont(look::TextStyle::body));
    setSecondary(time_);

    compare_->setObjectName(QStringLiteral("compareButton"));
    compare_->setIcon(look::swapIcon(this));
    compare_->setToolTip(QStringLiteral("Compare original and cleaned audio (C)"));
    compare_->setFixedHeight(buttonHeight);
    // As wide as its widest title, so nothing beside it shifts when the title changes.
    int compareWidth = 0;
    for (const TalnModel::Listening listening :
         {TalnModel::Listening::Cleaned, TalnModel::Listening::Original,
          TalnModel::Listening::Removed}) {
        compare_->setText(hearingTitle(listening));
        compareWidth = std::max(compareWidth, compare_->sizeHint().width());
    }
    compare_->setFixedWidth(compareWidth);

    removed_->setObjectName(QStringLiteral("removedButton"));
    removed_->setText(QStringLiteral("Removed"));
    removed_->setCheckable(true);
    removed_->setToolTip(QStringLiteral("Hear what the cleaning removed (R)"));
    removed_->setFixedHeight(buttonHeight);

    hum_->setObjectName(QStringLiteral("humLabel"));
    hum_->setTextFormat(Qt::PlainText);
    hum_->setFont(look::font(look::TextStyle::callout));
    setSecondary(hum_);

    auto* strengthTitle = new QLabel(QStringLiteral("Strength"), this);
    strengthTitle->setFont(look::font(look::TextStyle::headline));

    slider_->setObjectName(QStringLiteral("strengthSlider"));
    // Read out as a percent ("Strength, 60"; see installAccessibility), not in steps.
    slider_->setAccessibleName(QStringLiteral("Strength"));
    slider_->setRange(0, kSliderSteps);
    slider_->setSingleStep(kSliderSteps / 100);
    slider_->setPageStep(kSliderSteps / 10);
    auto* clickToValue = new ClickToValueStyle;
    clickToValue->setParent(slider_);
    slider_->setStyle(clickToValue);

    value_->setObjectName(QStringLiteral("strengthValue"));
    value_->setTextFormat(Qt::PlainText);
    value_->setFont(look::monospaceFont(look::TextStyle::title3));
    // As wide as the widest value, so the slider does not move when the digits change.
    value_->setFixedWidth(QFontMetrics(value_->font()).horizontalAdvance(formatStrength(100.0)));
    value_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    auto* transport = new QHBoxLayout;
    transport->setSpacing(kTransportSpacing);
    transport->addWidget(play_);
    transport->addWidget(time_);
    transport->addStretch(1);
    transport->addWidget(hum_);
    transport->addWidget(compare_);
    transport->addWidget(removed_);

    auto* strength = new QHBoxLayout;
    strength->setSpacing(kStrengthSpacing);
    strength->addWidget(strengthTitle);
    strength->addWidget(slider_, 1);
    strength->addWidget(value_);
    // The noise sample is the cleaning's other input, beside its strength.
    strength->addWidget(noise_);

    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(kRowSpacing);
    rows->addLayout(transport);
    rows->addLayout(strength);

    connect(play_, &QPushButton::clicked, this, &ControlsBar::togglePlay);
    connect(compare_, &QPushButton::clicked, this, &ControlsBar::toggleHearing);
    connect(removed_, &QPushButton::clicked, this, &ControlsBar::toggleRemoved);
    connect(slider_, &QSlider::valueChanged, this,
            [this](int steps) { model_->setStrength(100.0 * steps / kSliderSteps); });

    connect(model_, &TalnModel::isPlayingChanged, this, &ControlsBar::updateTransport);
    connect(model_, &TalnModel::positionChanged, this, &ControlsBar::updateTransport);
    connect(model_, &TalnModel::durationChanged, this, &ControlsBar::updateTransport);
    connect(model_, &TalnModel::listeningChanged, this, &ControlsBar::updateCompare);
    connect(model_, &TalnModel::strengthChanged, this, &ControlsBar::updateStrength);
    connect(model_, &TalnModel::humLabelChanged, this, [this] {
        hum_->setText(model_->humLabel());
        hum_->setVisible(!model_->humLabel().isEmpty());
    });
    hum_->setVisible(false);
    updateTransport();
    updateCompare();
    updateStrength();
}

void ControlsBar::togglePlay() {
    // The button needs audio; the bar is hidden without it, and this check keeps a stray
    // activation from reaching the model.
    if (model_->orig().empty()) {
        return;
    }
    model_->togglePlay();
}

void ControlsBar::toggleHearing() {
    if (model_->orig().empty()) {
        return;
    }
    // Cleaned and Original in turn; from Removed, back to Cleaned.
    model_->setHearOriginal(model_->listening() == TalnModel::Listening::Cleaned);
}

void ControlsBar::toggleRemoved(bool removed) {
    if (model_->orig().empty()) {
        return;
    }
    model_->setListening(removed ? TalnModel::Listening::Removed : TalnModel::Listening::Cleaned);
}

void ControlsBar::updateTransport() {
    play_->setIcon(model_->isPlaying() ? look::pauseIcon(this) : look::playIcon(this));
    // The button shows a symbol only; screen readers still need a name for it.
    play_->setAccessibleName(model_->isPlaying() ? QStringLiteral("Pause")
                                                 : QStringLiteral("Play"));
    time_->setText(formatTenths(model_->position()) + QStringLiteral(" / ") +
                   formatTenths(model_->duration()));
}

QString ControlsBar::hearingTitle(TalnModel::Listening listening) {
    switch (listening) {
    case TalnModel::Listening::Original:
        return QStringLiteral("Hearing: Original");
    case TalnModel::Listening::Removed:
        return QStringLiteral("Hearing: Removed");
    case TalnModel::Listening::Cleaned:
        break;
    }
    return QStringLiteral("Hearing: Cleaned");
}

void ControlsBar::updateCompare() {
    compare_->setText(hearingTitle(model_->listening()));
    removed_->setChecked(model_->listening() == TalnModel::Listening::Removed);
}

void ControlsBar::updateStrength() {
    const double strength = model_->strength();
    value_->setText(formatStrength(strength));
    // Following the model must not write it back: each write schedules a cleaning run.
    const QSignalBlocker blocker(slider_);
    const double clamped = std::isfinite(strength) ? std::clamp(strength, 0.0, 100.0) : 0.0;
    slider_->setValue(static_cast<int>(std::lround(clamped * kSliderSteps / 100.0)));
}

} // namespace taln
