#include "ui/noise_sample_buttons.h"

#include "model/taln_model.h"
#include "ui/look.h"
#include "ui/text_format.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>

namespace taln {

NoiseSampleButtons::NoiseSampleButtons(TalnModel* model, QWidget* parent)
    : QWidget(parent), model_(model),
      useSelection_(new QPushButton(QStringLiteral("Use as Noise Sample"), this)),
      automatic_(new QPushButton(QStringLiteral("Automatic"), this)), span_(new QLabel(this)) {
    setObjectName(QStringLiteral("noiseSampleButtons"));
    useSelection_->setObjectName(QStringLiteral("useSelectionButton"));
    useSelection_->setToolTip(
        QStringLiteral("Take the noise from the selected stretch only, and clean again (N)"));
    automatic_->setObjectName(QStringLiteral("automaticNoiseButton"));
    automatic_->setToolTip(QStringLiteral("Take the noise from the quietest stretches again"));

    span_->setObjectName(QStringLiteral("selectionLabel"));
    span_->setTextFormat(Qt::PlainText);
    span_->setFont(look::monospaceFont(look::TextStyle::callout));
    QPalette secondary = span_->palette();
    secondary.setColor(QPalette::WindowText, look::secondary(span_));
    span_->setPalette(secondary);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(span_);
    row->addWidget(useSelection_);
    row->addWidget(automatic_);

    auto* n = new QShortcut(QKeySequence(Qt::Key_N), this);
    n->setContext(Qt::WindowShortcut);
    n->setAutoRepeat(false);
    connect(n, &QShortcut::activated, this, &NoiseSampleButtons::useSelection);

    connect(useSelection_, &QPushButton::clicked, this, &NoiseSampleButtons::useSelection);
    connect(automatic_, &QPushButton::clicked, model_, &TalnModel::useAutomaticNoise);
    connect(model_, &TalnModel::selectionChanged, this, &NoiseSampleButtons::update);
    connect(model_, &TalnModel::noiseAutomaticChanged, this, &NoiseSampleButtons::update);
    update();
}

void NoiseSampleButtons::useSelection() {
    if (model_->hasSelection()) {
        model_->useSelectionAsNoise();
    }
}

void NoiseSampleButtons::update() {
    const bool selected = model_->hasSelection();
    if (selected) {
        const NoiseChoice::Stretch stretch = model_->selection();
        const double rate = model_->sampleRate();
        span_->setText(selectionText(static_cast<double>(stretch.first) / rate,
                                     static_cast<double>(stretch.last) / rate));
        span_->setAccessibleName(QStringLiteral("Selection ") + span_->text());
    }
    span_->setVisible(selected);
    useSelection_->setVisible(selected);
    automatic_->setVisible(!model_->noiseAutomatic());
}

} // namespace taln
