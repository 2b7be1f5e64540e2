#pragma once

// ControlsBar: the transport row (play/pause, the time, the compare button) above the
// strength row (the "Strength" slider and its value). It carries the window's two
// shortcuts, Space for play/pause and C for comparing, both without modifiers and neither
// repeating while held; they are live only while the bar is on screen (audio loaded) and
// then also check the model.
// Reads isPlaying, position, duration, hearOriginal and strength; writes strength on every
// slider movement. Main thread.

#include <QWidget>

class QLabel;
class QPushButton;
class QShortcut;
class QSlider;

namespace taln {

class TalnModel;

class ControlsBar : public QWidget {
    Q_OBJECT

public:
    explicit ControlsBar(TalnModel* model, QWidget* parent = nullptr);

    // The slider runs over a fine integer range: 100 steps per percent.
    static constexpr int kSliderSteps = 10000;

    QPushButton* playButton() const { return play_; }
    QPushButton* compareButton() const { return compare_; }
    QLabel* timeLabel() const { return time_; }
    QSlider* strengthSlider() const { return slider_; }
    QLabel* strengthLabel() const { return value_; }

private:
    void togglePlay();
    void toggleHearing();
    void updateTransport();
    void updateCompare();
    void updateStrength();

    TalnModel* model_;
    QPushButton* play_;
    QLabel* time_;
    QPushButton* compare_;
    QSlider* slider_;
    QLabel* value_;
    QLabel* hum_;
};

} // namespace taln
