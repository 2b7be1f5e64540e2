#include "ui/waveforms_area.h"

#include "model/taln_model.h"
#include "ui/focus_ring.h"
#include "ui/look.h"
#include "ui/menu_bar.h"
#include "ui/time_ruler.h"
#include "ui/waveform_lane.h"

#include <QFocusEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace taln {

namespace {

constexpr int kLaneSpacing = 10;
constexpr int kPlayheadWidth = 2;
// The scroll bar's range: 2^30 steps over the file, under a frame each on a 3-hour recording.
constexpr int kScrollSteps = 1 << 30;
// A wheel notch (120 units) scrolls a tenth of the view, and zooms by a fourth root of the
// zoom step.
constexpr double kWheelNotch = 120.0;
constexpr double kScrollPerNotch = 0.1;
constexpr double kNotchesPerZoomStep = 4.0;

} // namespace

WaveformsArea::WaveformsArea(TalnModel* model, QWidget* parent)
    : QWidget(parent), model_(model), ruler_(new TimeRuler(this)),
      original_(new WaveformLane(QStringLiteral("Original"), look::systemGray(), this)),
      cleaned_(new WaveformLane(QStringLiteral("Cleaned"), look::systemTeal(), this)),
      scroll_(new QScrollBar(Qt::Horizontal, this)),
      // The playhead belongs to the area's parent, so at position 0 (or the end) the half
      // that lies outside the area is not clipped away.
      playhead_(new QWidget(parent != nullptr ? parent : this)), focusRing_(new FocusRing(this)),
      originalDrawing_(original_, true, this, summaries_),
      cleanedDrawing_(cleaned_, false, this, summaries_) {
    setObjectName(QStringLiteral("waveforms"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    // Tab reaches the waveforms; the arrows, Home and End then move the playhead.
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("Waveforms"));
    setAccessibleDescription(
        QStringLiteral("Left and Right move 5 seconds, Home and End go to the ends"));
    ruler_->setObjectName(QStringLiteral("timeRuler"));
    original_->setObjectName(QStringLiteral("originalLane"));
    cleaned_->setObjectName(QStringLiteral("cleanedLane"));
    scroll_->setObjectName(QStringLiteral("viewScrollBar"));
    scroll_->setAccessibleName(QStringLiteral("Scroll through the file"));
    // Reached with the pointer; the keyboard scrolls by moving the playhead.
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->hide();

    original_->installEventFilter(this);
    cleaned_->installEventFilter(this);

    auto* lanes = new QVBoxLayout(this);
    lanes->setContentsMargins(0, 0, 0, 0);
    lanes->setSpacing(0);
    lanes->addWidget(ruler_);
    lanes->addWidget(original_, 1);
    lanes->addSpacing(kLaneSpacing);
    lanes->addWidget(cleaned_, 1);
    lanes->addWidget(scroll_);

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

    connect(scroll_, &QScrollBar::valueChanged, this, [this](int value) {
        const double from = static_cast<double>(value) / kScrollSteps;
        setView({from, from + view_.length()});
    });

    // `orig` is not announced itself; a new file comes with its peaks.
    connect(model_, &TalnModel::origPeaksChanged, this, &WaveformsArea::fileChanged);
    // A cleaned piece patches the spectrogram (cleanedReplaced) instead of making it anew.
    connect(model_, &TalnModel::cleanPeaksChanged, this, [this] {
        if (!spectrograms_) {
            updateCleaned();
        }
    });
    connect(model_, &TalnModel::peakScaleChanged, this, [this] {
        original_->setScale(model_->peakScale());
        cleaned_->setScale(model_->peakScale());
    });
    connect(model_, &TalnModel::cleanedReplaced, this, [this](qint64 from, qint64 to) {
        if (spectrograms_) {
            cleanedDrawing_.patchSpectrogram(cleanedSource(), from, to);
        }
    });
    connect(model_, &TalnModel::listeningChanged, this, &WaveformsArea::updateListening);
    connect(model_, &TalnModel::noiseRunsChanged, this, &WaveformsArea::updateNoiseMarks);
    connect(model_, &TalnModel::selectionChanged, this, &WaveformsArea::updateSelection);
    connect(model_, &TalnModel::pendingCleaningChanged, this, &WaveformsArea::updatePending);
    connect(model_, &TalnModel::positionChanged, this, &WaveformsArea::followPlayhead);
    connect(model_, &TalnModel::durationChanged, this, &WaveformsArea::updatePlayhead);
    fileChanged();
    updateListening();
    updateNoiseMarks();
    updateSelection();
    updatePending();
}

double WaveformsArea::shortestView() const {
    const auto frames = static_cast<double>(model_->originalAudio().frameCount());
    const double columns = std::max(1.0, width() * devicePixelRatioF());
    return frames > 0.0 ? std::min(1.0, columns / frames) : 1.0;
}

void WaveformsArea::zoom(int steps) {
    const double duration = model_->duration();
    const double playhead = duration > 0.0 ? model_->position() / duration : 0.0;
    zoomAround(std::pow(kZoomStep, steps), playhead);
}

void WaveformsArea::zoomAround(double factor, double anchor) {
    setView(view_.zoomed(factor, anchor, shortestView()));
}

void WaveformsArea::showWholeFile() {
    setView({});
}

void WaveformsArea::setView(ViewRange view) {
    if (view == view_) {
        return;
    }
    view_ = view;
    const double duration = model_->duration();
    ruler_->setSpan(view_.from * duration, view_.to * duration);
    original_->setView(view_);
    cleaned_->setView(view_);
    updateScrollBar();
    updateOriginal();
    updateCleaned();
    updatePlayhead();
    const double playhead = duration > 0.0 ? model_->position() / duration : 0.0;
    playheadInView_ = view_.contains(playhead);
}

void WaveformsArea::showSpectrograms(bool shown) {
    if (shown == spectrograms_) {
        return;
    }
    spectrograms_ = shown;
    if (!shown) {
        originalDrawing_.stopSpectrogram();
        cleanedDrawing_.stopSpectrogram();
    }
    updateOriginal(true);
    updateListening(); // the cleaned lane's title, and its picture
    if (!shown) {
        updateCleaned();
    }
}

double WaveformsArea::fractionAt(double x) const {
    return view_.fractionAt(x, width());
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

void WaveformsArea::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const double fraction = fractionAt(event->position().x());
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
    const double fraction = fractionAt(event->position().x());
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

void WaveformsArea::wheelEvent(QWheelEvent* event) {
    if (model_->orig().empty()) {
        QWidget::wheelEvent(event);
        return;
    }
    const QPoint delta = event->angleDelta();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    if (modifiers & Qt::ControlModifier) {
        const double notches = (delta.y() != 0 ? delta.y() : delta.x()) / kWheelNotch;
        zoomAround(std::pow(kZoomStep, notches / kNotchesPerZoomStep),
                   fractionAt(event->position().x()));
    } else if (delta.x() != 0 || (modifiers & Qt::ShiftModifier)) {
        // Some systems turn Shift+wheel into a sideways wheel themselves.
        const double notches = (delta.x() != 0 ? delta.x() : delta.y()) / kWheelNotch;
        setView(view_.scrolled(-notches * kScrollPerNotch * view_.length()));
    } else {
        QWidget::wheelEvent(event);
        return;
    }
    event->accept();
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

bool WaveformsArea::eventFilter(QObject* watched, QEvent* event) {
    // Zoomed in, the columns are the lanes' pixels, and a spectrogram's rows too: a lane of
    // another size (the window's, or the scroll bar's coming and going) needs new ones.
    if (event->type() == QEvent::Resize) {
        if (watched == original_) {
            updateOriginal();
        } else if (watched == cleaned_) {
            updateCleaned();
            updatePlayhead();
        }
    }
    return QWidget::eventFilter(watched, event);
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

void WaveformsArea::fileChanged() {
    original_->setScale(model_->peakScale());
    cleaned_->setScale(model_->peakScale());
    // A new file is shown whole.
    view_ = {};
    ruler_->setSpan(0.0, model_->duration());
    original_->setView(view_);
    cleaned_->setView(view_);
    updateScrollBar();
    updateOriginal(true);
    updateCleaned(true);
    updatePlayhead();
    playheadInView_ = true;
}

void WaveformsArea::updateOriginal(bool newSource) {
    if (spectrograms_) {
        originalDrawing_.showSpectrogram({model_->originalAudio(), {}, model_->sampleRate()}, view_,
                                         newSource);
    } else {
        originalDrawing_.showPeaks(model_->originalAudio(), model_->origPeaks(), view_);
    }
}

void WaveformsArea::updateCleaned(bool newSource) {
    if (spectrograms_) {
        cleanedDrawing_.showSpectrogram(cleanedSource(), view_, newSource);
    } else {
        cleanedDrawing_.showPeaks(model_->cleanedAudio(), model_->cleanPeaks(), view_);
    }
}

Spectrogram::Source WaveformsArea::cleanedSource() const {
    if (model_->listening() == TalnModel::Listening::Removed) {
        return {model_->originalAudio(), model_->cleanedAudio(), model_->sampleRate()};
    }
    return {model_->cleanedAudio(), {}, model_->sampleRate()};
}

void WaveformsArea::updateListening() {
    const TalnModel::Listening listening = model_->listening();
    original_->setActive(listening != TalnModel::Listening::Cleaned);
    cleaned_->setActive(listening != TalnModel::Listening::Original);
    // In the spectrogram, Removed shows what the cleaning took out.
    const bool removed = spectrograms_ && listening == TalnModel::Listening::Removed;
    cleaned_->setTitle(removed ? QStringLiteral("Removed") : QStringLiteral("Cleaned"));
    if (spectrograms_) {
        updateCleaned(true);
    }
}

void WaveformsArea::updateNoiseMarks() {
    original_->setNoiseMarks(WaveformLane::spansOf(
        model_->noiseRuns(), static_cast<double>(frameCount(model_->orig()))));
}

void WaveformsArea::updateSelection() {
    std::optional<WaveformLane::Span> span;
    if (model_->hasSelection()) {
        const auto spans = WaveformLane::spansOf({model_->selection()},
                                                 static_cast<double>(frameCount(model_->orig())));
        if (!spans.empty()) {
            span = spans.front();
        }
    }
    original_->setSelection(span);
    cleaned_->setSelection(span);
}

void WaveformsArea::updatePending() {
    cleaned_->setPending(WaveformLane::spansOf(
        model_->pendingCleaning(), static_cast<double>(model_->cleanedAudio().frameCount())));
}

void WaveformsArea::updateScrollBar() {
    const bool zoomed = !view_.isWhole();
    const QSignalBlocker blocker(scroll_);
    const auto page = static_cast<int>(std::lround(view_.length() * kScrollSteps));
    scroll_->setRange(0, kScrollSteps - page);
    scroll_->setPageStep(std::max(page, 1));
    scroll_->setSingleStep(std::max(page / 10, 1));
    scroll_->setValue(static_cast<int>(std::lround(view_.from * kScrollSteps)));
    if (scroll_->isVisibleTo(this) != zoomed) {
        scroll_->setVisible(zoomed);
    }
}

void WaveformsArea::followPlayhead() {
    const double duration = model_->duration();
    const double playhead = duration > 0.0 ? model_->position() / duration : 0.0;
    if (playheadInView_ && !view_.contains(playhead)) {
        setView(view_.following(playhead));
    }
    playheadInView_ = view_.contains(playhead);
    updatePlayhead();
}

void WaveformsArea::updatePlayhead() {
    const double duration = model_->duration();
    const double fraction = duration > 0.0 ? model_->position() / duration : 0.0;
    // Offset by half the bar so it is centred on the position; at 0 it pokes 1 px past the
    // left edge, into the window's margin. It spans the ruler and the lanes.
    const double left = view_.xOf(fraction, width()) - kPlayheadWidth / 2.0;
    const QPoint origin = playhead_->parentWidget() == this ? QPoint(0, 0) : pos();
    const int bottom = cleaned_->geometry().bottom() + 1;
    playhead_->setGeometry(origin.x() + static_cast<int>(std::lround(left)), origin.y(),
                           kPlayheadWidth, scroll_->isVisibleTo(this) ? bottom : height());
    playhead_->setVisible(isVisible() && view_.contains(fraction));
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
