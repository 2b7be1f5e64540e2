#include "ui/taln_app.h"

#include "ui/content_view.h"
#include "ui/controls_bar.h"
#include "ui/main_window.h"
#include "ui/waveform_lane.h"
#include "ui/waveforms_area.h"
#include "ui_fixture.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

namespace taln::test {
namespace {

class TalnAppTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (app) {
            waitFor([this] { return !app->model()->isLoading() && !app->model()->isProcessing(); });
        }
        app.reset();
    }

    std::shared_ptr<PanelLog> log = std::make_shared<PanelLog>();
    std::unique_ptr<TalnApp> app = std::make_unique<TalnApp>(std::make_unique<FakePanels>(log),
                                                             std::make_unique<ManualOutput>());
    QTemporaryDir dir;
};

TEST_F(TalnAppTest, WindowIsTitledTalnAndCannotShrinkBelow760By560) {
    MainWindow* window = app->newWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_EQ(window->windowTitle(), "Taln");
    EXPECT_GE(window->width(), 760);
    EXPECT_GE(window->height(), 560);
    window->resize(300, 200);
    QCoreApplication::processEvents();
    EXPECT_GE(window->width(), 760);
    EXPECT_GE(window->height(), 560);
    window->resize(1400, 1000);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->width(), 1400);
}

TEST_F(TalnAppTest, NewWindowShowsTheSameModelAndChangesShowInBoth) {
    MainWindow* first = app->newWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(first));
    first->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(first));
    QTest::keyClick(first->windowHandle(), Qt::Key_N, Qt::ControlModifier);
    ASSERT_EQ(app->windows().size(), 2);
    MainWindow* second = app->windows().back();
    EXPECT_EQ(second->content()->model(), app->model());
    EXPECT_EQ(first->content()->model(), app->model());

    ASSERT_TRUE(dir.isValid());
    app->model()->load(writeTone(dir, QStringLiteral("shared.wav"), 1.0));
    ASSERT_TRUE(
        waitFor([&] { return !app->model()->isLoading() && !app->model()->isProcessing(); }));
    for (MainWindow* window : {first, second}) {
        EXPECT_TRUE(window->content()->waveforms()->isVisible());
        EXPECT_EQ(window->content()->waveforms()->originalLane()->peaks(),
                  app->model()->origPeaks());
    }
    // A click in the second window shows in the first.
    QTest::mouseClick(second->content()->controls()->compareButton(), Qt::LeftButton);
    EXPECT_EQ(first->content()->controls()->compareButton()->text(), "Hearing: Original");

    // Closing one window leaves the model and the other window as they were.
    second->close();
    QCoreApplication::processEvents();
    ASSERT_TRUE(waitFor([&] { return app->windows().size() == 1; }));
    EXPECT_EQ(app->model()->fileName(), "shared.wav");
    EXPECT_TRUE(first->content()->waveforms()->isVisible());
}

TEST_F(TalnAppTest, CtrlOAsksForAFileAndCtrlQClosesEveryWindow) {
    MainWindow* first = app->newWindow();
    app->newWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(first));
    first->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(first));
    QTest::keyClick(first->windowHandle(), Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(log->openCount, 1);

    // The test's QApplication must survive: it quits on the last window only when told.
    QApplication::setQuitOnLastWindowClosed(false);
    QTest::keyClick(first->windowHandle(), Qt::Key_Q, Qt::ControlModifier);
    ASSERT_TRUE(waitFor([&] { return app->windows().isEmpty(); }));
    QApplication::setQuitOnLastWindowClosed(true);
}

} // namespace
} // namespace taln::test
