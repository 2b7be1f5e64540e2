#pragma once

// WaveformLane: one waveform of the loaded audio, drawn from the model's peaks.
//
// Layers, back to front: a rounded background, the selection, the centre line, one bar per
// pixel column, the noise marks (a quiet band along the bottom edge), the title in the
// top-leading corner, and the outline in the lane's colour while its version is audible;
// everything is clipped to the rounded rectangle.
// The lane takes no pointer input: presses fall through to the waveforms area behind it.
// Main thread.

#include "model/peak.h"

#include <QColor>
#include <QRectF>
#include <QString>
#include <QWidget>
#include <optional>
#include <utility>
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

    // A stretch of the audio as fractions of its duration, from <= to.
    struct Span {
        double from = 0.0;
        double to = 0.0;
    };
    // Where the noise sample came from, ascending; drawn as a band along the bottom edge.
    void setNoiseMarks(std::vector<Span> marks);
    // The stretch selected for a noise sample, shaded across the lane; none for no selection.
    void setSelection(std::optional<Span> selection);

    const QString& title() const { return title_; }
    const std::vector<Peak>& peaks() const { return peaks_; }
    float scale() const { return scale_; }
    QColor color() const { return color_; }
    bool isActive() const { return active_; }
    const std::vector<Span>& noiseMarks() const { return marks_; }

    // The pixel columns the marks cover in a lane `width` wide, as [first, end) column runs:
    // a mark covers the columns from floor(from × width) up to ceil(to × width), at least one,
    // within the lane; marks that share or touch a column merge into one run.
    static std::vector<std::pair<int, int>> markColumns(const std::vector<Span>& marks,
                                                        double width);
    // Whether `point` (lane coordinates) lies on a noise mark's band, or just above it.
    bool noiseMarkAt(QPointF point) const;

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
    std::vector<Span> marks_;
    std::optional<Span> selection_;
};

} // namespace taln
