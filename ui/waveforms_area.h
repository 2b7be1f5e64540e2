#pragma once

// WaveformsArea: the original lane above the cleaned lane, 10 px apart, one orange playhead
// across both, and seeking: a press or a drag anywhere in the area (the gap between the
// lanes included) seeks the model to x / width, unclamped; the model clamps. A drag with
// Shift held selects a stretch instead (the model's selectStretch), shaded on both lanes.
// The original lane marks where the noise sample came from ("Noise sampled here").
// It takes keyboard focus (shown by a ring in the accent colour); then Left / Right move 5 s
// back / forward, Home and End go to the ends.
// Reads the model's peaks, scale, listening, noise runs, selection, position and duration.
// The audible lane is outlined; in Removed, which is both versions at once, both are.
// Main thread.

#include <QWidget>
#include <optional>

namespace taln {

class TalnModel;
class WaveformLane;

class WaveformsArea : public QWidget {
    Q_OBJECT

public:
    explicit WaveformsArea(TalnModel* model, QWidget* parent = nullptr);

    WaveformLane* originalLane() const { return original_; }
    WaveformLane* cleanedLane() const { return cleaned_; }
    // The orange bar; a child of the area's parent, placed over the area.
    QWidget* playhead() const { return playhead_; }

    // The seek fraction for a pointer at `x` in an area `width` wide.
    static double seekFraction(double x, double width);

protected:
    bool event(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateLanes();
    void updatePlayhead();
    void updateNoiseMarks();
    void updateSelection();

    TalnModel* model_;
    WaveformLane* original_;
    WaveformLane* cleaned_;
    QWidget* playhead_;
    // Where a Shift+drag began, as a fraction of the width; none while not selecting.
    std::optional<double> selectionAnchor_;
    // A ring in the accent colour while the area has keyboard focus.
    QWidget* focusRing_;
};

} // namespace taln
