#pragma once

// WaveformLane: one lane of the loaded audio over the stretch the waveforms show (a
// ViewRange): its waveform drawn from peaks, or its spectrogram as a picture.
//
// Layers, back to front: a rounded background, the selection, the centre line, one bar per
// device pixel column (or the spectrogram), the stretches the running cleaning has not reached
// (dimmed and hatched), the noise marks (a quiet band along the bottom edge; along the top
// edge over a spectrogram, whose bottom rows hold the hum), the title in the top-leading
// corner, a spectrogram's frequency scale and legend, and the outline in the lane's colour while
// its version is audible; everything is clipped to the rounded rectangle. Drawn at the screen's
// device pixel ratio, so it is as sharp at a scale of 2 as at 1. Marks, the selection and the
// pending stretches are fractions of the whole file, mapped through the view, so they sit on their
// frames at every zoom. The lane takes no pointer input: presses fall through to the waveforms area
// behind it. Main thread.

#include "model/noise_choice.h"
#include "model/peak.h"
#include "ui/view_range.h"

#include <QColor>
#include <QImage>
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

    // The waveform of the view: peaks over equal slices of it, in time order.
    void setPeaks(std::vector<Peak> peaks);
    // The amplitude that reaches 95 % of half the lane's height; shared by both lanes.
    void setScale(float scale);
    void setActive(bool active);
    void setTitle(const QString& title);
    // The stretch of the file the lane shows; the whole file by default.
    void setView(ViewRange view);

    // A stretch of the audio as fractions of its duration, from <= to.
    struct Span {
        double from = 0.0;
        double to = 0.0;
    };
    // Stretches of frames as fractions of a track `frames` long; none when it is empty.
    static std::vector<Span> spansOf(const std::vector<NoiseChoice::Stretch>& stretches,
                                     double frames);
    // Where the noise sample came from, ascending; drawn as a band along the bottom edge.
    void setNoiseMarks(std::vector<Span> marks);
    // The stretch selected for a noise sample, shaded across the lane; none for no selection.
    void setSelection(std::optional<Span> selection);
    // What the running cleaning has not reached yet, ascending: dimmed and hatched.
    void setPending(std::vector<Span> pending);

    // The spectrogram mode: a picture whose columns cover `range` of the file, drawn in place
    // of the bars. startPicture() begins one of `columns` × `rows` pixels; its columns arrive
    // with setPictureColumn() (row 0 the lowest band), and until they have all come the
    // previous picture shows through where it covers the view. stopPicture() goes back to the
    // bars.
    void startPicture(int columns, int rows, ViewRange range);
    void setPictureColumn(int column, const QRgb* bottomUp);
    void stopPicture();
    // With the picture: the frequencies of its bottom and top rows (a log scale), marked on
    // the trailing edge; with `legend`, the colour scale drawn in the top-trailing corner.
    void setFrequencyScale(double lowHz, double highHz, bool legend);
    bool showsPicture() const { return picture_.has_value(); }

    const QString& title() const { return title_; }
    const std::vector<Peak>& peaks() const { return peaks_; }
    float scale() const { return scale_; }
    QColor color() const { return color_; }
    bool isActive() const { return active_; }
    const std::vector<Span>& noiseMarks() const { return marks_; }
    const std::vector<Span>& pending() const { return pending_; }
    ViewRange view() const { return view_; }

    // `spans` (fractions of the file) as fractions of `view`, clipped to it; those wholly
    // outside it are left out.
    static std::vector<Span> inView(const std::vector<Span>& spans, ViewRange view);

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
    struct Picture {
        QImage image;
        ViewRange range;
        int missing = 0;
        std::vector<bool> filled;
    };
    void drawPicture(QPainter& painter, const Picture& picture, const QRectF& bounds) const;
    void drawScales(QPainter& painter, const QRectF& bounds) const;

    QString title_;
    QColor color_;
    std::vector<Peak> peaks_;
    float scale_ = 1.0f;
    bool active_ = false;
    ViewRange view_;
    std::vector<Span> marks_;
    std::optional<Span> selection_;
    std::vector<Span> pending_;
    std::optional<Picture> picture_;
    std::optional<Picture> previous_;
    double lowHz_ = 0.0;
    double highHz_ = 0.0;
    bool legend_ = false;
};

} // namespace taln
