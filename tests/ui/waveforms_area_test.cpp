#include "ui/waveforms_area.h"

#include "ui/content_view.h"
#include "ui/look.h"
#include "ui/waveform_lane.h"
#include "ui_fixture.h"

#include "ui/controls_bar.h"
#include "ui/noise_sample_buttons.h"

#include <QMouseEvent>
#include <QPushButton>

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

TEST(WaveformsAreaFraction, IsXOverTheWidthUnclampedAndSafeForZeroWidth) {
    EXPECT_DOUBLE_EQ(WaveformsArea::seekFraction(50.0, 200.0), 0.25);
    EXPECT_DOUBLE_EQ(WaveformsArea::seekFraction(-20.0, 200.0), -0.1);
    EXPECT_DOUBLE_EQ(WaveformsArea::seekFraction(260.0, 200.0), 1.3);
    EXPECT_DOUBLE_EQ(WaveformsArea::seekFraction(5.0, 0.0), 5.0);
}

} // namespace
} // namespace taln::test
