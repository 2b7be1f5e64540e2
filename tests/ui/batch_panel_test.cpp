#include "ui/batch_panel.h"

#include "ui/content_view.h"
#include "ui_fixture.h"

#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>

namespace taln::test {
namespace {

class BatchPanelTest : public WindowTest {
protected:
    // Drops `paths` on the window as a file manager would.
    void drop(const QStringList& paths) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& path : paths) {
            urls << QUrl::fromLocalFile(path);
        }
        mime.setUrls(urls);
        ContentView* view = window->content();
        const QPointF at(view->width() / 2.0, view->height() / 2.0);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &enter);
        QDropEvent event(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &event);
    }

    BatchPanel* panel() const { return window->findChild<BatchPanel*>(); }
};

TEST_F(BatchPanelTest, DroppingSeveralFilesOpensThePanelThatCleansThemAll) {
    model->setStrength(42.0);
    const QString a = writeTone(dir, QStringLiteral("a.wav"), 0.4);
    const QString notes = writeText(dir, QStringLiteral("notes.txt"));
    drop({a, notes});
    ASSERT_TRUE(waitFor([this] { return panel() != nullptr; }));
    BatchPanel* p = panel();
    // Nothing is loaded into the window itself.
    EXPECT_FALSE(model->isLoading());
    EXPECT_EQ(p->strengthLabel()->text(), "42 %");
    EXPECT_EQ(p->folder(), QDir(dir.path()).absolutePath());
    p->formatBox()->setCurrentIndex(p->formatBox()->findText("FLAC"));
    EXPECT_FALSE(p->stopButton()->isVisible());

    p->startButton()->click();
    EXPECT_TRUE(p->stopButton()->isVisible());
    EXPECT_FALSE(p->closeButton()->isVisible());
    ASSERT_TRUE(waitFor([p] { return p->run()->isFinished(); }));
    EXPECT_EQ(p->progressBar(0)->value(), 100);
    EXPECT_EQ(p->statusLine(0)->text(), "Done");
    EXPECT_TRUE(p->statusLine(1)->text().startsWith("notes.txt isn't an audio or video file"));
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("a (Taln).flac")));
    EXPECT_TRUE(p->closeButton()->isVisible());
    EXPECT_FALSE(p->startButton()->isVisible());

    // Esc once it is over closes the panel.
    QTest::keyClick(p, Qt::Key_Escape);
    EXPECT_TRUE(waitFor([this] { return panel() == nullptr; }));
}

} // namespace
} // namespace taln::test
