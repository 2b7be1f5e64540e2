#pragma once

// ControlsBar: the transport row (play/pause, the time to a tenth, the hum label, the compare
// button and the Removed button) above the strength row (the "Strength" slider, which a click
// on its track moves to the click, its value in percent, and the noise-sample buttons with
// the selection's readout). The compare button is as wide as its widest title, so the hum
// label beside it stays put. Its keys, Space (play/pause), C (Cleaned and Original in turn;
// from Removed back to Cleaned) and R (Removed), are the menu bar's (MenuBar).
// Reads isPlaying, position, duration, listening and strength; writes strength on every
// slider movement. Main thread.

#include "model/taln_model.h"

#include <QWidget>

class QLabel;
class QPushButton;
class QSlider;

namespace taln {

class NoiseSampleButtons;

class ControlsBar : public QWidget {
    Q_OBJECT

public:
    explicit ControlsBar(TalnModel* model, QWidget* parent = nullptr);

    // The slider runs over a fine integer range: 100 steps per percent.
    static constexpr int kSliderSteps = 10000;

    QPushButton* playButton() const { return play_; }
    QPushButton* compareButton() const { return compare_; }
    // Checked while what the cleaning removed is audible; a click there goes back to Cleaned.
    QPushButton* removedButton() const { return removed_; }
    NoiseSampleButtons* noiseSampleButtons() const { return noise_; }
    QLabel* timeLabel() const { return time_; }
    QSlider* strengthSlider() const { return slider_; }
    QLabel* strengthLabel() const { return value_; }
    QLabel* humLabel() const { return hum_; }

    // The compare button's title for each listening position ("Hearing: Cleaned").
    static QString hearingTitle(TalnModel::Listening listening);

private:
    void togglePlay();
    void toggleHearing();
    void toggleRemoved(bool removed);
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
    QPushButton* removed_;
    NoiseSampleButtons* noise_;
};

} // namespace taln
