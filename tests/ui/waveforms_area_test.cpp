#include "ui/waveforms_area.h"

#include "ui/content_view.h"
#include "ui/look.h"
#include "ui/waveform_lane.h"
#include "ui_fixture.h"

#include "ui/controls_bar.h"
#include "ui/noise_sample_buttons.h"
#include "ui/time_ruler.h"

#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QWheelEvent>

namespace taln::test {
namespace {

class WaveformsAreaTest : public WindowTest {
protected:
    WaveformsArea* area() const { return window->content()->waveforms(); }

    // A press, moves and a release delivered to the window at points of the area, so
    // Qt's own hit-testing picks the receiver (a lane, the playhead, the gap).
    QPoint inWindow(QPoint inArea) const { return area()->mapTo(window.get(), inArea); }

    void pressAt(QPoint inArea) {
        QTest::mousePress(window->windowHandle(), Qt::LeftButton, Qt::NoModifier, inWindow(inArea));
    }
    void dragTo(QPoint inArea) { QTest::mouseMove(window->windowHandle(), inWindow(inArea)); }
    void releaseAt(QPoint inArea) {
        QTest::mouseRelease(window->windowHandle(), Qt::LeftButton, Qt::NoModifier,
                            inWindow(inArea));
    }

    // The position seek(x / width) gives on this file.
    double expected(double x) const {
        const double fraction = std::clamp(x / area()->width(), 0.0, 1.0);
        return fraction * model->duration();
    }
};

TEST_F(WaveformsAreaTest, LanesShowTheModelsPeaksAndTheAudibleOneIsOutlined) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 2.0)));
    WaveformLane* original = area()->originalLane();
    WaveformLane* cleaned = area()->cleanedLane();
    EXPECT_EQ(original->title(), "Original");
    EXPECT_EQ(cleaned->title(), "Cleaned");
    EXPECT_EQ(original->peaks(), model->origPeaks());
    EXPECT_EQ(cleaned->peaks(), model->cleanPeaks());
    EXPECT_EQ(original->scale(), model->peakScale());
    EXPECT_EQ(cleaned->scale(), model->peakScale());
    EXPECT_FALSE(original->isActive());
    EXPECT_TRUE(cleaned->isActive());
    model->setHearOriginal(true);
    EXPECT_TRUE(original->isActive());
    EXPECT_FALSE(cleaned->isActive());
    // Original above cleaned, 10 px apart, sharing the height.
    EXPECT_EQ(cleaned->geometry().top() - original->geometry().bottom() - 1, 10);
    EXPECT_LE(std::abs(original->height() - cleaned->height()), 1);
}

TEST_F(WaveformsAreaTest, PressAndDragSeekToTheirFractionOfTheWidth) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 4.0)));
    const int w = area()->width();
    const int laneY = area()->originalLane()->geometry().center().y();

    pressAt(QPoint(w / 4, laneY));
    EXPECT_NEAR(model->position(), expected(w / 4), 1e-9);
    dragTo(QPoint(w / 2, laneY));
    EXPECT_NEAR(model->position(), expected(w / 2), 1e-9);
    // Beyond either edge the model holds the position at that end.
    dragTo(QPoint(-40, laneY));
    EXPECT_DOUBLE_EQ(model->position(), 0.0);
    dragTo(QPoint(w + 40, laneY));
    EXPECT_DOUBLE_EQ(model->position(), model->duration());
    releaseAt(QPoint(w + 40, laneY));
    // Releasing does nothing; moving without a button does not seek.
    dragTo(QPoint(w / 3, laneY));
    EXPECT_DOUBLE_EQ(model->position(), model->duration());
}

TEST_F(WaveformsAreaTest, TheGapBetweenLanesAndThePlayheadTakePressesToo) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 4.0)));
    const int w = area()->width();
    const int gapY = area()->originalLane()->geometry().bottom() + 5;

    pressAt(QPoint(3 * w / 4, gapY));
    releaseAt(QPoint(3 * w / 4, gapY));
    EXPECT_NEAR(model->position(), expected(3 * w / 4), 1e-9);

    // Right on the playhead, which now sits at 3/4.
    const QPoint onPlayhead =
        area()->mapFrom(window->content(), area()->playhead()->geometry().center());
    pressAt(QPoint(onPlayhead.x(), 20));
    releaseAt(QPoint(onPlayhead.x(), 20));
    EXPECT_NEAR(model->position(), expected(onPlayhead.x()), 1e-9);
}

TEST_F(WaveformsAreaTest, PlayheadIsCentredOnThePositionAndNotClippedAtTheEdges) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 2.0)));
    QWidget* playhead = area()->playhead();
    const QRect areaRect = area()->geometry();
    EXPECT_TRUE(playhead->isVisible());
    EXPECT_EQ(playhead->width(), 2);
    EXPECT_EQ(playhead->height(), areaRect.height());
    EXPECT_EQ(playhead->geometry().top(), areaRect.top());
    // At 0 it straddles the left edge, one pixel outside the area.
    EXPECT_EQ(playhead->geometry().left(), areaRect.left() - 1);

    model->seek(0.5);
    EXPECT_NEAR(playhead->geometry().left() + 1, areaRect.left() + areaRect.width() / 2.0, 1.0);
    model->seek(1.0);
    EXPECT_EQ(playhead->geometry().left(), areaRect.left() + areaRect.width() - 1);
    EXPECT_TRUE(playhead->isVisible());
    // Drawn over the lanes, in orange, at both ends of its travel.
    const QImage atEnd = window->content()->grab().toImage();
    EXPECT_EQ(atEnd.pixelColor(playhead->geometry().center()).rgb(), look::systemOrange().rgb());
    model->seek(0.0);
    const QImage atStart = window->content()->grab().toImage();
    EXPECT_EQ(atStart.pixelColor(areaRect.left() - 1, areaRect.center().y()).rgb(),
              look::systemOrange().rgb());
}

// A Shift+drag selects instead of seeking; its button takes the noise from it (N does the
// same) and Automatic goes back; the marks follow the choice, and Removed outlines both lanes.
TEST_F(WaveformsAreaTest, ShiftDragSelectsAStretchForTheNoiseSample) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 4.0)));
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto* buttons = window->content()->controls()->noiseSampleButtons();
    QPushButton* use = buttons->useSelectionButton();
    QPushButton* automatic = buttons->automaticButton();
    EXPECT_FALSE(use->isVisible());
    EXPECT_FALSE(automatic->isVisible());
    EXPECT_FALSE(area()->originalLane()->noiseMarks().empty());
    const auto automaticMarks = area()->originalLane()->noiseMarks();

    const int w = area()->width();
    const int y = area()->cleanedLane()->geometry().center().y();
    QTest::mousePress(window->windowHandle(), Qt::LeftButton, Qt::ShiftModifier,
                      inWindow(QPoint(w / 2, y)));
    dragTo(QPoint(w / 4, y));
    releaseAt(QPoint(w / 4, y));
    EXPECT_EQ(model->position(), 0.0);
    ASSERT_TRUE(model->hasSelection());
    const auto frames = static_cast<double>(frameCount(model->orig()));
    EXPECT_NEAR(model->selection().first, frames * (w / 4) / w, 1.0);
    EXPECT_NEAR(model->selection().last, frames * (w / 2) / w, 1.0);
    EXPECT_TRUE(use->isVisible());

    QTest::keyClick(window->windowHandle(), Qt::Key_N);
    EXPECT_FALSE(model->noiseAutomatic());
    EXPECT_FALSE(use->isVisible());
    EXPECT_TRUE(automatic->isVisible());
    for (const WaveformLane::Span& mark : area()->originalLane()->noiseMarks()) {
        EXPECT_GE(mark.from, 0.25 - 1.0 / w);
        EXPECT_LE(mark.to, 0.5 + 1.0 / w);
    }
    QTest::mouseClick(automatic, Qt::LeftButton);
    EXPECT_TRUE(model->noiseAutomatic());
    EXPECT_FALSE(automatic->isVisible());
    EXPECT_EQ(area()->originalLane()->noiseMarks().size(), automaticMarks.size());
    ASSERT_TRUE(waitFor([&] { return !model->isProcessing(); }));

    model->setListening(TalnModel::Listening::Removed);
    EXPECT_TRUE(area()->originalLane()->isActive());
    EXPECT_TRUE(area()->cleanedLane()->isActive());
}

// Ctrl+wheel zooms around the pointer (the frame under it stays there) and draws the lanes from
// the stretch's own peaks, one per column; Shift+wheel scrolls; Ctrl+0 shows the whole file.
// Playback running off the view moves it on; marks and selection keep their frames.
TEST_F(WaveformsAreaTest, ZoomScrollAndFollowThePlayhead) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 12.0)));
    const int w = area()->width();
    const QPoint at(w / 3, area()->originalLane()->geometry().center().y());
    const double under = area()->view().fractionAt(at.x(), w);
    const auto wheel = [&](int notches, Qt::KeyboardModifiers modifiers) {
        QWheelEvent event(at, area()->mapToGlobal(at), QPoint(), QPoint(0, notches * 120),
                          Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(area(), &event);
    };
    wheel(8, Qt::ControlModifier); // two zoom steps: a quarter of the file
    EXPECT_NEAR(area()->view().length(), 0.25, 1e-9);
    EXPECT_NEAR(area()->view().fractionAt(at.x(), w), under, 1e-9);
    EXPECT_TRUE(area()->scrollBar()->isVisible());
    const ViewRange view = area()->view();
    const auto frames = static_cast<double>(model->originalAudio().frameCount());
    const auto columns =
        static_cast<std::int64_t>(area()->originalLane()->width() * area()->devicePixelRatioF());
    WaveformPeaks::SummaryCache cache;
    EXPECT_EQ(area()->originalLane()->peaks(),
              WaveformPeaks::columnPeaks(model->originalAudio(), view.from * frames,
                                         view.to * frames, columns, cache));
    EXPECT_EQ(area()->cleanedLane()->view(), view);

    wheel(-2, Qt::ShiftModifier); // two notches on: a fifth of the view
    EXPECT_NEAR(area()->view().from, view.from + 0.2 * view.length(), 1e-9);

    // Playing past the right edge pages on; a playhead scrolled out of sight stays there.
    area()->setView({0.0, 0.25});
    model->seek(0.24);
    model->seek(0.3);
    EXPECT_NEAR(area()->view().from, 0.3 - 0.025, 1e-9);
    area()->setView({0.5, 0.75});
    model->seek(0.31);
    EXPECT_EQ(area()->view(), (ViewRange{0.5, 0.75}));

    QTest::keyClick(window->windowHandle(), Qt::Key_0, Qt::ControlModifier);
    EXPECT_TRUE(area()->view().isWhole());
    EXPECT_FALSE(area()->scrollBar()->isVisible());
}

// S shows both lanes as spectrograms; in Removed the cleaned lane shows what was taken out.
// While a cleaning runs, what it has not reached is veiled.
TEST_F(WaveformsAreaTest, SpectrogramsAndThePendingVeil) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 2.0)));
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    EXPECT_TRUE(area()->cleanedLane()->pending().empty());
    model->setStrength(30.0);
    ASSERT_EQ(area()->cleanedLane()->pending().size(), 1u);
    EXPECT_DOUBLE_EQ(area()->cleanedLane()->pending().front().to, 1.0);
    ASSERT_TRUE(waitFor([&] { return !model->isProcessing(); }));
    EXPECT_TRUE(area()->cleanedLane()->pending().empty());

    QTest::keyClick(window->windowHandle(), Qt::Key_S);
    EXPECT_TRUE(area()->showsSpectrograms());
    EXPECT_TRUE(area()->originalLane()->showsPicture());
    EXPECT_TRUE(area()->cleanedLane()->showsPicture());
    QTest::keyClick(window->windowHandle(), Qt::Key_R);
    EXPECT_EQ(area()->cleanedLane()->title(), "Removed");
    QTest::keyClick(window->windowHandle(), Qt::Key_S);
    EXPECT_FALSE(area()->cleanedLane()->showsPicture());
    EXPECT_EQ(area()->cleanedLane()->title(), "Cleaned");
}

TEST(ViewRangeArithmetic, ZoomScrollAndFollowStayInsideTheFile) {
    const ViewRange whole;
    EXPECT_DOUBLE_EQ(whole.fractionAt(50.0, 200.0), 0.25);
    EXPECT_DOUBLE_EQ(whole.fractionAt(5.0, 0.0), 5.0); // a zero width divides by 1
    struct Row {
        const char* name;
        ViewRange got;
        ViewRange expected;
    };
    const ViewRange half{0.25, 0.75};
    const Row rows[] = {
        {"zoom keeps the anchor's place", whole.zoomed(4.0, 0.5, 0.01), {0.375, 0.625}},
        {"zoom near an end stays inside", whole.zoomed(2.0, 0.0, 0.01), {0.0, 0.5}},
        {"no shorter than the shortest", half.zoomed(1000.0, 0.5, 0.1), {0.45, 0.55}},
        {"zoom out to the whole file", half.zoomed(0.1, 0.3, 0.1), {0.0, 1.0}},
        {"scroll is held at the end", half.scrolled(0.5), {0.5, 1.0}},
        {"following a visible point stays", half.following(0.6), half},
        {"following beyond pages on", ViewRange{0.0, 0.25}.following(0.3), {0.275, 0.525}},
        {"paging is held at the end", half.following(0.8), {0.5, 1.0}},
        {"following back before it", half.following(0.1), {0.05, 0.55}},
    };
    for (const Row& row : rows) {
        EXPECT_NEAR(row.got.from, row.expected.from, 1e-12) << row.name;
        EXPECT_NEAR(row.got.to, row.expected.to, 1e-12) << row.name;
    }
}

TEST(TimeRulerTicks, LabelsAsFarApartAsTheyNeedAtEveryZoom) {
    struct Row {
        double from, to, width;
        QString first, second; // the first two labels
        int between;           // ticks between two labels
    };
    const Row rows[] = {
        {0.0, 1200.0, 700.0, "0:00", "2:00", 3},        // 20 minutes: every 2 min
        {0.0, 60.0, 800.0, "0:00", "0:05", 4},          // a minute: every 5 s
        {12.31, 12.81, 700.0, "0:12.35", "0:12.40", 4}, // half a second: every 50 ms
    };
    for (const Row& row : rows) {
        const auto ticks = TimeRuler::ticks(row.from, row.to, row.width, 60.0);
        std::vector<std::size_t> labelled;
        for (std::size_t i = 0; i < ticks.size(); ++i) {
            if (!ticks[i].label.isEmpty()) {
                labelled.push_back(i);
            }
        }
        ASSERT_GE(labelled.size(), 2u) << row.first.toStdString();
        EXPECT_EQ(ticks[labelled[0]].label, row.first);
        EXPECT_EQ(ticks[labelled[1]].label, row.second);
        EXPECT_EQ(static_cast<int>(labelled[1] - labelled[0]) - 1, row.between);
        EXPECT_GE(ticks[labelled[1]].x - ticks[labelled[0]].x, 60.0);
        EXPECT_GE(ticks.front().x, 0.0);
        EXPECT_LE(ticks.back().x, row.width);
    }
    EXPECT_TRUE(TimeRuler::ticks(5.0, 5.0, 700.0, 60.0).empty());
}

} // namespace
} // namespace taln::test
