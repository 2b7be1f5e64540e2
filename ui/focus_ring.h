#pragma once

// FocusRing: a rounded outline in the accent colour, drawn over a widget while it has the
// keyboard focus (the WaveformsArea's two lanes). It lets the pointer through and starts
// hidden; its owner shows it, sized to its own rectangle, on focus in. Main thread.

#include <QWidget>

namespace taln {

class FocusRing : public QWidget {
public:
    explicit FocusRing(QWidget* owner);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace taln
