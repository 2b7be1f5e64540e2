#pragma once

// TimeRuler: the time scale over the lanes. Labelled ticks in m:ss (with tenths, hundredths or
// thousandths once the steps are that short) as far apart as a label needs, and unlabelled
// ticks between them; the step adapts to the zoom, from a thousandth of a second to an hour.
// It draws what it is told (setSpan) and takes no pointer input: presses fall through to the
// waveforms area behind it. Main thread.

#include <QString>
#include <QWidget>
#include <vector>

namespace taln {

class TimeRuler : public QWidget {
    Q_OBJECT

public:
    explicit TimeRuler(QWidget* parent = nullptr);

    // The seconds at the left and at the right edge.
    void setSpan(double fromSeconds, double toSeconds);

    struct Tick {
        double x = 0.0;
        QString label; // empty for a tick between labels
        friend bool operator==(const Tick&, const Tick&) = default;
    };

    // The ticks of [fromSeconds, toSeconds] over `width` pixels: labelled ticks at the shortest
    // step of 1, 2 or 5 times a power of ten (or 15 s, 30 s, 1, 2, 5, 10, 15, 30 or 60 min) that
    // keeps them `labelSpacing` pixels apart, each with its time; between them, ticks at a fifth
    // of the step (a quarter for steps of 2, a third for 15 and 30). Empty for an empty span.
    static std::vector<Tick> ticks(double fromSeconds, double toSeconds, double width,
                                   double labelSpacing);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double from_ = 0.0;
    double to_ = 0.0;
};

} // namespace taln
