#pragma once

// What screen readers get beyond Qt's own: the strength slider reads as a percent
// ("Strength, 60" on a 0 ... 100 scale) although it moves in finer steps
// (ControlsBar::kSliderSteps); an ElidedLabel (the file name) reads as static text.
// installAccessibility() registers this with Qt's accessibility
// once; later calls do nothing. Main thread.

#include <QString>

class QObject;
class QAccessibleInterface;

namespace taln {

void installAccessibility();

// The factory installAccessibility() registers: an interface for the strength slider and for
// ElidedLabels, null for every other object.
QAccessibleInterface* accessibleFor(const QString& className, QObject* object);

} // namespace taln
