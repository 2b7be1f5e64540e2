#include "ui/waveform_lane.h"

#include "ui/look.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

namespace taln {
namespace {

std::vector<Peak> ramp(int n) {
    std::vector<Peak> peaks;
    for (int i = 0; i < n; ++i) {
        peaks.push_back({-0.01f * static_cast<float>(i), 0.01f * static_cast<float>(i)});
    }
    return peaks;
}

TEST(WaveformLaneBars, LoudestPeakAtTheScaleReaches95PercentOfHalfTheHeight) {
    // One column over two peaks: hi from the first, lo from the second.
    const std::vector<Peak> peaks = {{-0.1f, 0.5f}, {-0.25f, 0.2f}};
    const auto bars = WaveformLane::bars(peaks, 0.5f, 1.0, 100.0);
    ASSERT_EQ(bars.size(), 1u);
    // mid 50; top 50 - 50 * 1.0 * 0.95; bottom 50 - 50 * (-0.5) * 0.95.
    EXPECT_DOUBLE_EQ(bars[0].top(), 2.5);
    EXPECT_DOUBLE_EQ(bars[0].bottom(), 73.75);
    EXPECT_DOUBLE_EQ(bars[0].left(), 0.0);
    EXPECT_DOUBLE_EQ(bars[0].width(), 1.0);
}

TEST(WaveformLaneBars, EveryColumnTakesItsOwnSliceOfThePeaks) {
    // 8 peaks over 4 columns: column c spans peaks 2c and 2c + 1.
    const auto peaks = ramp(8);
    const auto bars = WaveformLane::bars(peaks, 1.0f, 4.0, 200.0);
    ASSERT_EQ(bars.size(), 4u);
    for (int c = 0; c < 4; ++c) {
        const double hi = 0.01 * (2 * c + 1);
        EXPECT_DOUBLE_EQ(bars[static_cast<std::size_t>(c)].left(), c);
        EXPECT_NEAR(bars[static_cast<std::size_t>(c)].top(), 100.0 - 100.0 * hi * 0.95, 1e-5);
    }
}

TEST(WaveformLaneBars, MoreColumnsThanPeaksRepeatPeaksWithoutGaps) {
    const std::vector<Peak> peaks = {{-0.5f, 0.5f}, {-1.0f, 1.0f}};
    const auto bars = WaveformLane::bars(peaks, 1.0f, 5.0, 100.0);
    ASSERT_EQ(bars.size(), 5u);
    // Columns 0..2 map to peak 0, columns 3..4 to peak 1 (a = c * 2 / 5).
    for (int c = 0; c < 5; ++c) {
        EXPECT_DOUBLE_EQ(bars[static_cast<std::size_t>(c)].left(), c) << c;
        EXPECT_GT(bars[static_cast<std::size_t>(c)].height(), 1.0) << "column " << c << " empty";
    }
    EXPECT_DOUBLE_EQ(bars[2].top(), 50.0 - 50.0 * 0.5 * 0.95);
    EXPECT_DOUBLE_EQ(bars[3].top(), 50.0 - 50.0 * 0.95);
}

TEST(WaveformLaneBars, SilenceDrawsOnePixelBarsJustBelowTheCentre) {
    const std::vector<Peak> silence(16);
    const auto bars = WaveformLane::bars(silence, 0.0001f, 8.0, 60.0);
    ASSERT_EQ(bars.size(), 8u);
    for (const QRectF& bar : bars) {
        EXPECT_DOUBLE_EQ(bar.top(), 30.0);
        EXPECT_DOUBLE_EQ(bar.height(), 1.0);
    }
}

TEST(WaveformLaneBars, DegenerateCanvasesAndInputs) {
    const auto peaks = ramp(10);
    // Narrower than one pixel: still one column, over every peak.
    const auto narrow = WaveformLane::bars(peaks, 1.0f, 0.4, 100.0);
    ASSERT_EQ(narrow.size(), 1u);
    EXPECT_NEAR(narrow[0].top(), 50.0 - 50.0 * 0.09 * 0.95, 1e-5);
    EXPECT_TRUE(WaveformLane::bars({}, 1.0f, 300.0, 100.0).empty());
    // A scale that is no amplitude draws nothing rather than bars at infinity.
    EXPECT_TRUE(WaveformLane::bars(peaks, 0.0f, 300.0, 100.0).empty());
    EXPECT_TRUE(
        WaveformLane::bars(peaks, std::numeric_limits<float>::quiet_NaN(), 300.0, 100.0).empty());
}

TEST(WaveformLaneBars, PeaksBeyondTheScaleOvershootAndAreLeftToTheClip) {
    // The cleaned lane shares the original's scale; louder buckets run past the edge.
    const std::vector<Peak> loud = {{-2.0f, 2.0f}};
    const auto bars = WaveformLane::bars(loud, 1.0f, 1.0, 100.0);
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_LT(bars[0].top(), 0.0);
    EXPECT_GT(bars[0].bottom(), 100.0);
}

// Renders a lane and reads pixels: the outline shows only on the active lane, and the bars
// are drawn in the lane's colour.
TEST(WaveformLaneMarks, CoverTheirColumnsAndMergeAtTheLanesResolution) {
    using Span = WaveformLane::Span;
    struct Row {
        const char* name;
        std::vector<Span> marks;
        double width;
        std::vector<std::pair<int, int>> columns;
    };
    const Row rows[] = {
        {"none", {}, 100.0, {}},
        {"a sliver still takes a column", {{0.5, 0.5001}}, 100.0, {{50, 51}}},
        {"partly covered columns count", {{0.104, 0.205}}, 100.0, {{10, 21}}},
        {"apart by a column stay apart", {{0.1, 0.2}, {0.21, 0.3}}, 100.0, {{10, 20}, {21, 30}}},
        {"touching in a column merge", {{0.1, 0.2}, {0.205, 0.3}}, 100.0, {{10, 30}}},
        {"too close for a narrow lane", {{0.1, 0.2}, {0.21, 0.3}}, 10.0, {{1, 3}}},
        {"the end stays inside", {{0.99, 1.0}}, 100.0, {{99, 100}}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(WaveformLane::markColumns(row.marks, row.width), row.columns) << row.name;
    }
}

// Zoomed, marks are mapped through the view; those outside it are left out.
TEST(WaveformLaneMarks, MapThroughTheViewExactly) {
    const auto shown = WaveformLane::inView({{0.1, 0.2}, {0.49, 0.51}, {0.74, 0.9}}, {0.5, 0.75});
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_DOUBLE_EQ(shown[0].from, 0.0);
    EXPECT_NEAR(shown[0].to, 0.04, 1e-15);
    EXPECT_NEAR(shown[1].from, 0.96, 1e-15);
    EXPECT_DOUBLE_EQ(shown[1].to, 1.0);
}

// At a device pixel ratio of 2 the bars are device pixels: alternating loud and silent peaks
// alternate pixel by pixel, not in pairs.
TEST(WaveformLanePainting, BarsAreDevicePixelsAtScaleTwo) {
    WaveformLane lane(QStringLiteral("Original"), look::systemGray());
    lane.resize(100, 60);
    std::vector<Peak> peaks;
    for (int i = 0; i < 200; ++i) {
        peaks.push_back(i % 2 == 0 ? Peak{-1.0f, 1.0f} : Peak{0.0f, 0.0f});
    }
    lane.setPeaks(peaks);
    QImage image(200, 120, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2.0);
    image.fill(Qt::white);
    lane.render(&image);
    const int y = 30; // a quarter down in device pixels: inside the loud bars only
    EXPECT_EQ(image.pixelColor(100, y).rgb(), look::systemGray().rgb());
    EXPECT_NE(image.pixelColor(101, y).rgb(), look::systemGray().rgb());
}

TEST(WaveformLanePainting, OutlineOnlyOnTheActiveLaneAndBarsInTheLaneColour) {
    const QColor teal = look::systemTeal();
    WaveformLane lane(QStringLiteral("Cleaned"), teal);
    lane.resize(200, 80);
    lane.setPeaks(std::vector<Peak>(50, Peak{-1.0f, 1.0f}));
    lane.setScale(1.0f);

    const auto edgePixel = [&] {
        const QImage image = lane.grab().toImage();
        // The middle of the top edge: the outline's inner pixel, above the bars (they
        // reach 95 % of the half height) and clear of the title and the corners.
        return image.pixelColor(100, 0);
    };
    lane.setActive(false);
    const QColor inactiveEdge = edgePixel();
    lane.setActive(true);
    const QColor activeEdge = edgePixel();
    EXPECT_EQ(activeEdge.rgb(), teal.rgb());
    EXPECT_NE(inactiveEdge.rgb(), teal.rgb());

    // A full-scale bar in the middle of the lane, well away from the title.
    const QImage image = lane.grab().toImage();
    EXPECT_EQ(image.pixelColor(150, 40).rgb(), teal.rgb());
}

} // namespace
} // namespace taln
