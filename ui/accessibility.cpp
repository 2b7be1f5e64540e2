#include "ui/accessibility.h"

#include "ui/controls_bar.h"
#include "ui/elided_label.h"

#include <QAccessibleWidget>
#include <QSlider>
#include <cmath>

namespace taln {

namespace {

const QString kStrengthSlider = QStringLiteral("strengthSlider");

// A slider over 0 ... kSliderSteps whose value reads as the percent it stands for.
class PercentSlider : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit PercentSlider(QSlider* slider) : QAccessibleWidget(slider, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) {
            return static_cast<QAccessibleValueInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Value) {
            return QString::number(percent());
        }
        return QAccessibleWidget::text(kind);
    }

    QVariant currentValue() const override { return percent(); }
    void setCurrentValue(const QVariant& value) override {
        slider()->setValue(
            static_cast<int>(std::lround(value.toDouble() * ControlsBar::kSliderSteps / 100.0)));
    }
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    QSlider* slider() const { return static_cast<QSlider*>(widget()); }
    int percent() const {
        return static_cast<int>(std::lround(100.0 * slider()->value() / ControlsBar::kSliderSteps));
    }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    return accessibleFor(className, object);
}

} // namespace

QAccessibleInterface* accessibleFor(const QString&, QObject* object) {
    auto* slider = qobject_cast<QSlider*>(object);
    if (slider != nullptr && slider->objectName() == kStrengthSlider) {
        return new PercentSlider(slider);
    }
    // Drawn by Taln itself, it is still a line of text to a screen reader (named by its text).
    if (auto* label = qobject_cast<ElidedLabel*>(object)) {
        return new QAccessibleWidget(label, QAccessible::StaticText);
    }
    return nullptr;
}

void installAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)installed;
}

} // namespace taln
