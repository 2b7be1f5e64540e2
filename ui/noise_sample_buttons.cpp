#include "ui/noise_sample_buttons.h"

#include "model/taln_model.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QShortcut>

namespace taln {

NoiseSampleButtons::NoiseSampleButtons(TalnModel* model, QWidget* parent)
    : QWidget(parent), model_(model),
      useSelection_(new QPushButton(QStringLiteral("Use as Noise Sample"), this)),
      automatic_(new QPushButton(QStringLiteral("Automatic"), this)) {
    setObjectName(QStringLiteral("noiseSampleButtons"));
    useSelection_->setObjectName(QStringLiteral("useSelectionButton"));
    useSelection_->setToolTip(
        QStringLiteral("Take the noise from the selected stretch only, and clean again (N)"));
    automatic_->setObjectName(QStringLiteral("automaticNoiseButton"));
    automatic_->setToolTip(QStringLiteral("Take the noise from the quietest stretches again"));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(useSelection_);
    row->addWidget(automatic_);

    auto* n = new QShortcut(QKeySequence(Qt::Key_N), this);
    n->setContext(Qt::WindowShortcut);
    n->setAutoRepeat(false);
    connect(n, &QShortcut::activated, this, &NoiseSampleButtons::useSelection);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, [this] {
        if (model_->hasSelection()) {
            model_->clearSelection();
        }
    });

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
    useSelection_->setVisible(model_->hasSelection());
    automatic_->setVisible(!model_->noiseAutomatic());
}

} // namespace taln
