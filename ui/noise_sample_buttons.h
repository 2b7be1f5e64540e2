#pragma once

// NoiseSampleButtons: the noise-sample choice in the controls bar. "Use as Noise Sample"
// appears while a stretch is selected (Shift+drag on the waveforms) and takes the noise from
// it (key N); "Automatic" appears while a chosen stretch is in use and goes back to the
// quietest frames; Escape drops the selection. The keys are live only while the buttons' bar
// is on screen. Reads hasSelection and noiseAutomatic. Main thread.

#include <QWidget>

class QPushButton;

namespace taln {

class TalnModel;

class NoiseSampleButtons : public QWidget {
    Q_OBJECT

public:
    explicit NoiseSampleButtons(TalnModel* model, QWidget* parent = nullptr);

    QPushButton* useSelectionButton() const { return useSelection_; }
    QPushButton* automaticButton() const { return automatic_; }

private:
    void useSelection();
    void update();

    TalnModel* model_;
    QPushButton* useSelection_;
    QPushButton* automatic_;
};

} // namespace taln
