#pragma once

// ControlsBar: the transport row (play/pause, the time, the compare button) above the
// strength row (the "Strength" slider and its value). Its keys, Space and C, are the menu
// bar's (MenuBar).
// Reads isPlaying, position, duration, hearOriginal and strength; writes strength on every
// slider movement. Main thread.

#include <QWidget>

class QLabel;
class QPushButton;
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
