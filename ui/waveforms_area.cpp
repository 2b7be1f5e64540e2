#include "ui/waveforms_area.h"

#include "model/taln_model.h"
#include "ui/look.h"
#include "ui/menu_bar.h"
#include "ui/waveform_lane.h"

#include <QFocusEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace taln {

namespace {

constexpr int kLaneSpacing = 10;
constexpr int kPlayheadWidth = 2;
// The keyboard focus ring around both lanes.
constexpr int kFocusRingWidth = 2;
constexpr double kFocusRingRadius = 6.0;

// Drawn over the lanes while the area has keyboard focus; lets the pointer through.
class FocusRing : public QWidget {
public:
    explicit FocusRing(QWidget* area) : QWidget(area) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(look::accent(this), kFocusRingWidth));
        painter.setBrush(Qt::NoBrush);
        const double inset = kFocusRingWidth / 2.0;
        painter.drawRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset),
                                kFocusRingRadius, kFocusRingRadius);
    }
};

} // namespace

WaveformsArea::WaveformsArea(TalnModel* model, QWidget* parent)
    : QWidget(parent), model_(model),
      original_(new WaveformLane(QStringLiteral("Original"), look::systemGray(), this)),
      cleaned_(new WaveformLane(QStringLiteral("Cleaned"), look::systemTeal(), this)),
      // The playhead belongs to the area's parent, so at position 0 (or the end) the half
      // that lies outside the area is not clipped away.
      playhead_(new QWidget(parent != nullptr ? parent : this)), focusRing_(new FocusRing(this)) {
    setObjectName(QStringLiteral("waveforms"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    // Tab reaches the waveforms; the arrows, Home and End then move the playhead.
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("Waveforms"));
    setAccessibleDescription(
        QStringLiteral("Left and Right move 5 seconds, Home and End go to the ends"));
    original_->setObjectName(QStringLiteral("originalLane"));
    cleaned_->setObjectName(QStringLiteral("cleanedLane"));

    auto* lanes = new QVBoxLayout(this);
    lanes->setContentsMargins(0, 0, 0, 0);
    lanes->setSpacing(kLaneSpacing);
    lanes->addWidget(original_, 1);
    lanes->addWidget(cleaned_, 1);

    // The playhead floats above the lanes, outside the layout, and lets presses through.
    playhead_->setObjectName(QStringLiteral("playhead"));
    playhead_->setAttribute(Qt::WA_TransparentForMouseEvents);
    playhead_->setAutoFillBackground(true);
    QPalette playheadPalette = playhead_->palette();
    playheadPalette.setColor(QPalette::Window, look::systemOrange());
    playhead_->setPalette(playheadPalette);
    playhead_->raise();
    if (playhead_->parentWidget() != this) {
        playhead_->hide(); // shown with the area, see showEvent
    }

    connect(model_, &TalnModel::origPeaksChanged, this, &WaveformsArea::updateLanes);
    connect(model_, &TalnModel::cleanPeaksChanged, this, &WaveformsArea::updateLanes);
    connect(model_, &TalnModel::peakScaleChanged, this, &WaveformsArea::updateLanes);
    connect(model_, &TalnModel::listeningChanged, this, &WaveformsArea::updateLanes);
    connect(model_, &TalnModel::noiseRunsChanged, this, &WaveformsArea::updateNoiseMarks);
    connect(model_, &TalnModel::selectionChanged, this, &WaveformsArea::updateSelection);
    connect(model_, &TalnModel::positionChanged, this, &WaveformsArea::updatePlayhead);
    connect(model_, &TalnModel::durationChanged, this, &WaveformsArea::updatePlayhead);
    updateLanes();
    updateNoiseMarks();
    updateSelection();
    updatePlayhead();
}

bool WaveformsArea::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QPoint inLane = original_->mapFrom(this, help->pos());
        if (original_->rect().contains(inLane) && original_->noiseMarkAt(inLane)) {
            QToolTip::showText(help->globalPos(), QStringLiteral("Noise sampled here"), this);
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QWidget::event(event);
}

double WaveformsArea::seekFraction(double x, double width) {
    return x / std::max(width, 1.0);
}

void WaveformsArea::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const double fraction = seekFraction(event->position().x(), width());
    if (event->modifiers() & Qt::ShiftModifier) {
        selectionAnchor_ = fraction;
        model_->selectStretch(fraction, fraction);
    } else {
        selectionAnchor_.reset();
        model_->seek(fraction);
    }
    event->accept();
}

void WaveformsArea::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const double fraction = seekFraction(event->position().x(), width());
    if (selectionAnchor_) {
        model_->selectStretch(*selectionAnchor_, fraction);
    } else {
        model_->seek(fraction);
    }
    event->accept();
}

void WaveformsArea::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        selectionAnchor_.reset();
    }
    QWidget::mouseReleaseEvent(event);
}

void WaveformsArea::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    focusRing_->setGeometry(rect());
    focusRing_->raise();
    focusRing_->show();
}

void WaveformsArea::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    focusRing_->hide();
}

void WaveformsArea::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    focusRing_->setGeometry(rect());
    updatePlayhead();
}

void WaveformsArea::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    updatePlayhead();
}

void WaveformsArea::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updatePlayhead();
    playhead_->show();
}

void WaveformsArea::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (playhead_->parentWidget() != this) {
        playhead_->hide();
    }
}

void WaveformsArea::updateLanes() {
    const TalnModel::Listening listening = model_->listening();
    original_->setPeaks(model_->origPeaks());
    original_->setScale(model_->peakScale());
    original_->setActive(listening != TalnModel::Listening::Cleaned);
    cleaned_->setPeaks(model_->cleanPeaks());
    cleaned_->setScale(model_->peakScale());
    cleaned_->setActive(listening != TalnModel::Listening::Original);
}

void WaveformsArea::updateNoiseMarks() {
    const auto frames = static_cast<double>(frameCount(model_->orig()));
    std::vector<WaveformLane::Span> marks;
    if (frames > 0.0) {
        for (const NoiseChoice::Stretch& run : model_->noiseRuns()) {
            marks.push_back(
                {static_cast<double>(run.first) / frames, static_cast<double>(run.last) / frames});
        }
    }
    original_->setNoiseMarks(std::move(marks));
}

void WaveformsArea::updateSelection() {
    const auto frames = static_cast<double>(frameCount(model_->orig()));
    std::optional<WaveformLane::Span> span;
    if (model_->hasSelection() && frames > 0.0) {
        const NoiseChoice::Stretch stretch = model_->selection();
        span = WaveformLane::Span{static_cast<double>(stretch.first) / frames,
                                  static_cast<double>(stretch.last) / frames};
    }
    original_->setSelection(span);
    cleaned_->setSelection(span);
}

void WaveformsArea::updatePlayhead() {
    const double duration = model_->duration();
    const double fraction = duration > 0.0 ? model_->position() / duration : 0.0;
    // Offset by half the bar so it is centred on the position; at 0 it pokes 1 px past the
    // left edge, into the window's margin.
    const double left = fraction * width() - kPlayheadWidth / 2.0;
    const QPoint origin = playhead_->parentWidget() == this ? QPoint(0, 0) : pos();
    playhead_->setGeometry(origin.x() + static_cast<int>(std::lround(left)), origin.y(),
                           kPlayheadWidth, height());
    playhead_->raise();
}

void WaveformsArea::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        switch (event->key()) {
        case Qt::Key_Left:
            model_->skip(-MenuBar::kSkipSeconds);
            return;
        case Qt::Key_Right:
            model_->skip(MenuBar::kSkipSeconds);
            return;
        case Qt::Key_Home:
            model_->seek(0.0);
            return;
        case Qt::Key_End:
            model_->seek(1.0);
            return;
        default:
            break;
        }
    }
    QWidget::keyPressEvent(event);
}

} // namespace taln
