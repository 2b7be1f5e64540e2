#pragma once

// WaveformsArea: the time ruler over the original lane above the cleaned lane (10 px apart),
// one orange playhead across them, and a scroll bar under them while zoomed in.
//
// What it shows is a stretch of the file (a ViewRange), the whole file after each load. Ctrl+
// wheel zooms around the pointer, zoom() around the playhead (the View menu's Ctrl+= and
// Ctrl+-), showWholeFile() goes back (Ctrl+0); Shift+wheel, a sideways wheel and the scroll bar
// scroll. Zoomed in, each lane draws peaks of just the stretch on screen, one per device pixel
// column, from the chunks (WaveformPeaks::columnPeaks); and whenever the playhead leaves the
// view while it was in it (playback running off the right edge, a skip), the view moves on to
// keep it in sight.
//
// Seeking: a press or a drag anywhere in the area (ruler and gap included) seeks the model to
// the file fraction under the pointer, unclamped; the model clamps. A drag with Shift held
// selects a stretch instead (the model's selectStretch), shaded on both lanes. The original
// lane marks where the noise sample came from ("Noise sampled here"); the cleaned lane veils
// what the running cleaning has not reached.
//
// Spectrograms (showSpectrograms, View ▸ Spectrogram, S): both lanes show their spectrogram
// instead (Spectrogram, computed on the worker pool; the cleaned lane's patched as cleaned
// pieces land), the original lane with the colour scale's legend; in Removed the cleaned lane
// shows what the cleaning took out.
//
// It takes keyboard focus (shown by a ring in the accent colour); then Left / Right move 5 s
// back / forward, Home and End go to the ends. The audible lane is outlined; in Removed, which
// is both versions at once, both are. Main thread.

#include "model/spectrogram.h"
#include "model/waveform_peaks.h"
#include "ui/lane_drawing.h"
#include "ui/view_range.h"

#include <QWidget>
#include <optional>

class QScrollBar;

namespace taln {

class TalnModel;
class TimeRuler;
class WaveformLane;

class WaveformsArea : public QWidget {
    Q_OBJECT

public:
    // One zoom step of the keys, and of four notches of a wheel.
    static constexpr double kZoomStep = 2.0;

    explicit WaveformsArea(TalnModel* model, QWidget* parent = nullptr);

    WaveformLane* originalLane() const { return original_; }
    WaveformLane* cleanedLane() const { return cleaned_; }
    TimeRuler* ruler() const { return ruler_; }
    QScrollBar* scrollBar() const { return scroll_; }
    // The orange bar; a child of the area's parent, placed over the area.
    QWidget* playhead() const { return playhead_; }

    ViewRange view() const { return view_; }
    bool showsSpectrograms() const { return spectrograms_; }

    // The shortest view: one frame per device pixel column, never less.
    double shortestView() const;

public slots:
    // `steps` zoom steps in (positive) or out, around the playhead.
    void zoom(int steps);
    // Zooms `factor` times in around the file fraction `anchor`.
    void zoomAround(double factor, double anchor);
    void showWholeFile();
    void setView(ViewRange view);
    void showSpectrograms(bool shown);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void fileChanged();
    // The lane's waveform or spectrogram for the view; `newSource` when its audio is another
    // (a new file, Removed in place of Cleaned), not just patched.
    void updateOriginal(bool newSource = false);
    void updateCleaned(bool newSource = false);
    void updateListening();
    void updatePlayhead();
    void followPlayhead();
    void updateNoiseMarks();
    void updateSelection();
    void updatePending();
    void updateScrollBar();
    Spectrogram::Source cleanedSource() const;
    // The file fraction under `x`.
    double fractionAt(double x) const;

    TalnModel* model_;
    TimeRuler* ruler_;
    WaveformLane* original_;
    WaveformLane* cleaned_;
    QScrollBar* scroll_;
    QWidget* playhead_;
    // A ring in the accent colour while the area has keyboard focus.
    QWidget* focusRing_;
    ViewRange view_;
    // Whether the playhead was in view at its last move: only then does the view follow it.
    bool playheadInView_ = true;
    // Where a Shift+drag began, as a fraction of the file; none while not selecting.
    std::optional<double> selectionAnchor_;
    WaveformPeaks::SummaryCache summaries_;
    bool spectrograms_ = false;
    LaneDrawing originalDrawing_;
    LaneDrawing cleanedDrawing_;
};

} // namespace taln
