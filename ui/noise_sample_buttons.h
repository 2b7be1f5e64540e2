#pragma once

// NoiseSampleButtons: the noise-sample choice in the controls bar's strength row. While a
// stretch is selected (Shift+drag on the waveforms, or [ and ] at the playhead) its start, end
// and length show ("0:01.2 – 0:03.5 (2.3 s)") with "Use as Noise Sample", which takes the noise
// from it (key N); "Automatic" appears while a chosen stretch is in use and goes back to the
// quietest frames (Esc, the window's, drops the selection). N is live only while the buttons'
// bar is on screen. Reads hasSelection and noiseAutomatic. Main thread.

#include <QWidget>

class QLabel;
class QPushButton;

namespace taln {

class TalnModel;

class NoiseSampleButtons : public QWidget {
    Q_OBJECT

public:
    explicit NoiseSampleButtons(TalnModel* model, QWidget* parent = nullptr);

    QPushButton* useSelectionButton() const { return useSelection_; }
    QPushButton* automaticButton() const { return automatic_; }
    QLabel* selectionLabel() const { return span_; }

private:
    void useSelection();
    void update();

    TalnModel* model_;
    QPushButton* useSelection_;
    QPushButton* automatic_;
    QLabel* span_;
};

} // namespace taln
