#pragma once

// WaveformLane: one waveform of the loaded audio, drawn from the model's peaks.
//
// Layers, back to front: a rounded background, the centre line, one bar per pixel column,
// the title in the top-leading corner, and the outline in the lane's colour while its
// version is the audible one; everything is clipped to the rounded rectangle.
// The lane takes no pointer input: presses fall through to the waveforms area behind it.
// Main thread.

#include "model/peak.h"

#include <QColor>
#include <QRectF>
#include <QString>
#include <QWidget>
#include <vector>

namespace taln {

class WaveformLane : public QWidget {
    Q_OBJECT

public:
    WaveformLane(QString title, QColor color, QWidget* parent = nullptr);

    void setPeaks(std::vector<Peak> peaks);
    // The amplitude that reaches 95 % of half the lane's height; shared by both lanes.
    void setScale(float scale);
    void setActive(bool active);

    const QString& title() const { return title_; }
    const std::vector<Peak>& peaks() const { return peaks_; }
    float scale() const { return scale_; }
    QColor color() const { return color_; }
    bool isActive() const { return active_; }

    // The bars for a canvas of `width` × `height` (y grows downward): one rectangle per
    // whole column, each 1 wide, spanning the lowest and highest peak of the column's
    // slice, at least 1 high; every column takes at least one peak. Empty without peaks or
    // without a positive scale.
    static std::vector<QRectF> bars(const std::vector<Peak>& peaks, float scale, double width,
                                    double height);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString title_;
    QColor color_;
    std::vector<Peak> peaks_;
    float scale_ = 1.0f;
    bool active_ = false;
};

} // namespace taln
