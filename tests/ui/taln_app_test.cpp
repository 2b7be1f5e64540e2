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
            for (MainWindow* window : app->windows()) {
                TalnModel* model = window->content()->model();
                waitFor([model] { return !model->isLoading() && !model->isProcessing(); });
            }
        }
        app.reset();
    }

    std::shared_ptr<PanelLog> log = std::make_shared<PanelLog>();
    std::unique_ptr<TalnApp> app =
        std::make_unique<TalnApp>([this] { return std::make_unique<FakePanels>(log); },
                                  [] { return std::make_unique<ManualOutput>(); });
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

// Ctrl+N opens a window of its own, placed off the first: a file opened in one stays there.
TEST_F(TalnAppTest, NewWindowIsIndependentAndOffset) {
    MainWindow* first = app->newWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(first));
    first->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(first));
    QTest::keyClick(first->windowHandle(), Qt::Key_N, Qt::ControlModifier);
    ASSERT_EQ(app->windows().size(), 2);
    MainWindow* second = app->windows().back();
    TalnModel* model = second->content()->model();
    EXPECT_NE(model, first->content()->model());
    EXPECT_EQ(second->pos(),
              first->pos() + QPoint(TalnApp::kCascadeOffset, TalnApp::kCascadeOffset));

    ASSERT_TRUE(dir.isValid());
    model->load(writeTone(dir, QStringLiteral("own.wav"), 1.0));
    ASSERT_TRUE(waitFor([&] { return !model->isLoading() && !model->isProcessing(); }));
    EXPECT_TRUE(second->content()->waveforms()->isVisible());
    EXPECT_TRUE(first->content()->model()->fileName().isNull());
    EXPECT_FALSE(first->content()->waveforms()->isVisible());

    // Closing the first leaves the second with its file.
    first->close();
    ASSERT_TRUE(waitFor([&] { return app->windows().size() == 1; }));
    EXPECT_EQ(app->windows().front()->content()->model()->fileName(), "own.wav");
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
