#include "ui/content_view.h"

#include "ui/busy_spinner.h"
#include "ui/controls_bar.h"
#include "ui/drop_zone.h"
#include "ui/elided_label.h"
#include "ui/look.h"
#include "ui/waveforms_area.h"
#include "ui_fixture.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTimer>
#include <future>

namespace taln::test {
namespace {

const QString kDropTitle = QStringLiteral("Drop a voice memo, screencast or recording here");

class ContentViewTest : public WindowTest {
protected:
    ContentView* view() const { return window->content(); }

    // What the window shows now, one flag per row of the state table.
    struct Shown {
        bool fileName, spinner, exportEnabled, dropZone, chooseFile, waveforms, controls, error;
        QString dropTitle;
    };
    Shown shown() const {
        ContentView* v = view();
        return {v->fileNameLabel()->isVisible(),
                v->spinner()->isVisible(),
                v->exportButton()->isEnabled(),
                v->dropZone()->isVisible(),
                v->dropZone()->chooseButton()->isVisible(),
                v->waveforms()->isVisible(),
                v->controls()->isVisible(),
                v->errorLine()->isVisible(),
                v->dropZone()->titleLabel()->text()};
    }

    void sendDrop(QMimeData* mime, bool* accepted = nullptr) {
        const QPointF at(view()->width() / 2.0, view()->height() / 2.0);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view(), &enter);
        QDropEvent drop(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view(), &drop);
        if (accepted != nullptr) {
            *accepted = drop.isAccepted();
        }
    }
};

TEST_F(ContentViewTest, HeaderTextsAreTalnsOwn) {
    EXPECT_EQ(view()->findChild<QLabel*>(QStringLiteral("titleLabel"))->text(), "Taln");
    EXPECT_TRUE(view()->findChild<QLabel*>(QStringLiteral("titleLabel"))->font().bold());
    EXPECT_EQ(view()->openButton()->text(), "Open…");
    EXPECT_EQ(view()->exportButton()->text(), "Export");
    QStringList items;
    for (const QAction* item : view()->exportButton()->menu()->actions()) {
        if (!item->isSeparator()) {
            items << item->text();
        }
    }
    EXPECT_EQ(items, QStringList({"Export as M4A…", "Export as WAV…", "Export as FLAC…",
                                  "Export Video…", "Normalise loudness (−16 LUFS)"}));
    // Video only for a file that has one.
    EXPECT_FALSE(view()->exportVideoAction()->isVisible());
    EXPECT_EQ(view()->findChild<QLabel*>(QStringLiteral("dropHint"))->text(),
              "Any audio or video file with sound. Everything stays on this computer.");
    EXPECT_EQ(view()->dropZone()->chooseButton()->text(), "Choose File…");
}

// Every row of the state table in one run: empty, reading the first file, loaded and
// processing, loaded and idle, loading another file, and a failed load.
TEST_F(ContentViewTest, ShowsWhatEachModelStateCallsFor) {
    const QString first = writeTone(dir, QStringLiteral("first take.wav"), 2.0);
    const QString second = writeTone(dir, QStringLiteral("second.wav"), 1.0);

    Shown s = shown();
    EXPECT_FALSE(s.fileName);
    EXPECT_FALSE(s.spinner);
    EXPECT_FALSE(s.exportEnabled);
    EXPECT_TRUE(s.dropZone);
    EXPECT_TRUE(s.chooseFile);
    EXPECT_EQ(s.dropTitle, kDropTitle);
    EXPECT_FALSE(s.waveforms);
    EXPECT_FALSE(s.controls);
    EXPECT_FALSE(s.error);

    // Reading the first file: spinner, "Reading audio…", no button, export still off.
    model->load(first);
    s = shown();
    EXPECT_TRUE(s.spinner);
    EXPECT_FALSE(s.exportEnabled);
    EXPECT_TRUE(s.dropZone);
    EXPECT_FALSE(s.chooseFile);
    EXPECT_EQ(s.dropTitle, "Reading audio…");
    EXPECT_TRUE(view()->openButton()->isEnabled());

    // Installed: from that very turn the waveforms replace the drop zone, and export stays
    // off while the first cleaning runs.
    ASSERT_TRUE(waitFor([&] { return !model->isLoading(); }));
    if (model->isProcessing()) {
        s = shown();
        EXPECT_TRUE(s.spinner);
        EXPECT_FALSE(s.exportEnabled);
    }
    s = shown();
    EXPECT_TRUE(s.fileName);
    EXPECT_EQ(view()->fileNameLabel()->text(), "first take.wav");
    EXPECT_FALSE(s.dropZone);
    EXPECT_TRUE(s.waveforms);
    EXPECT_TRUE(s.controls);

    // Idle.
    ASSERT_TRUE(waitFor([&] { return !model->isProcessing(); }));
    s = shown();
    EXPECT_FALSE(s.spinner);
    EXPECT_TRUE(s.exportEnabled);
    EXPECT_FALSE(s.error);

    // Loading another: the header names it; the waveforms stay until the new audio arrives.
    model->load(second);
    s = shown();
    EXPECT_TRUE(s.spinner);
    EXPECT_EQ(view()->fileNameLabel()->text(), "second.wav");
    EXPECT_EQ(window->windowTitle(), "first take.wav — Taln");
    EXPECT_TRUE(s.waveforms);
    EXPECT_FALSE(s.dropZone);
    EXPECT_TRUE(s.exportEnabled);
    ASSERT_TRUE(waitFor([&] { return !model->isLoading() && !model->isProcessing(); }));
    EXPECT_EQ(view()->fileNameLabel()->text(), "second.wav");

    // A failed load keeps the loaded file on screen and adds the red line.
    model->load(writeText(dir, QStringLiteral("notes.txt")));
    ASSERT_TRUE(waitFor([&] { return !model->isLoading(); }));
    s = shown();
    EXPECT_TRUE(s.error);
    EXPECT_EQ(view()->errorLine()->text(), model->errorMessage());
    EXPECT_FALSE(view()->errorLine()->text().isEmpty());
    EXPECT_TRUE(s.waveforms);
    EXPECT_EQ(view()->fileNameLabel()->text(), "second.wav");

    // The next load clears the line at once.
    model->load(first);
    EXPECT_FALSE(shown().error);
}

TEST_F(ContentViewTest, FailedFirstLoadReturnsToTheDropZoneWithTheErrorBelow) {
    model->load(writeText(dir, QStringLiteral("notes.txt")));
    ASSERT_TRUE(waitFor([&] { return !model->isLoading(); }));
    const Shown s = shown();
    EXPECT_TRUE(s.dropZone);
    EXPECT_EQ(s.dropTitle, kDropTitle);
    EXPECT_TRUE(s.chooseFile);
    EXPECT_TRUE(s.error);
    EXPECT_FALSE(s.spinner);
    EXPECT_GT(view()->errorLine()->geometry().top(), view()->dropZone()->geometry().bottom());
    // Red, and readable: at least 4.5:1 against the window, as the secondary text is.
    const QPalette palette = view()->errorLine()->palette();
    const QColor red = palette.color(QPalette::WindowText);
    EXPECT_GT(red.red(), 2 * red.green());
    EXPECT_GE(look::contrastRatio(red, palette.color(QPalette::Window)), 4.5);
    EXPECT_GE(look::contrastRatio(look::secondary(view()), palette.color(QPalette::Window)), 4.5);
}

// Tab goes through the header, the waveforms, then the controls as they are laid out.
TEST_F(ContentViewTest, TabFollowsTheLayout) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 1.0)));
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ControlsBar* controls = view()->controls();
    const QWidget* expected[] = {view()->openButton(),      view()->exportButton(),
                                 view()->waveforms(),       controls->playButton(),
                                 controls->compareButton(), controls->removedButton(),
                                 controls->strengthSlider()};
    view()->openButton()->setFocus();
    for (const QWidget* widget : expected) {
        EXPECT_EQ(QApplication::focusWidget(), widget) << widget->objectName().toStdString();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
}

// Export must never be enabled while a cleaning run is pending, checked at every
// announcement of the model, strength changes included.
TEST_F(ContentViewTest, ExportIsDisabledWhileProcessingRuns) {
    std::vector<std::pair<bool, bool>> seen; // (isProcessing, export enabled)
    QObject::connect(model.get(), &TalnModel::isProcessingChanged, view(), [&] {
        seen.emplace_back(model->isProcessing(), view()->exportButton()->isEnabled());
    });
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("memo.wav"), 2.0)));
    model->setStrength(20.0);
    ASSERT_TRUE(waitFor([&] { return !model->isProcessing(); }));

    bool sawProcessing = false;
    for (const auto& [processing, enabled] : seen) {
        EXPECT_NE(processing, enabled);
        sawProcessing = sawProcessing || processing;
    }
    EXPECT_TRUE(sawProcessing);
    EXPECT_TRUE(view()->exportButton()->isEnabled());

    // The menu's items reach the model's export with their kind.
    QList<QAction*> items = view()->exportButton()->menu()->actions();
    items[1]->trigger();
    items[0]->trigger();
    ASSERT_EQ(log->exportKinds.size(), 2u);
    EXPECT_EQ(log->exportKinds[0], AudioExporter::Kind::wav);
    EXPECT_EQ(log->exportKinds[1], AudioExporter::Kind::m4a);
}

TEST_F(ContentViewTest, OpenWorksInEveryStateAndChooseFileLoadsThePanelsAnswer) {
    const QString path = writeTone(dir, QStringLiteral("voice.wav"), 1.0);
    log->openAnswers.push_back(path);
    QTest::mouseClick(view()->dropZone()->chooseButton(), Qt::LeftButton);
    EXPECT_EQ(log->openCount, 1);
    EXPECT_TRUE(model->isLoading());

    // During loading "Choose File…" is gone but "Open…" still asks (cancelled here).
    QTest::mouseClick(view()->openButton(), Qt::LeftButton);
    EXPECT_EQ(log->openCount, 2);
    ASSERT_TRUE(waitFor([&] { return !model->isLoading() && !model->isProcessing(); }));
    EXPECT_EQ(model->fileName(), "voice.wav");
    QTest::mouseClick(view()->openButton(), Qt::LeftButton);
    EXPECT_EQ(log->openCount, 3);
    EXPECT_EQ(model->fileName(), "voice.wav");
}

TEST_F(ContentViewTest, DropOfSeveralFilesHandsThemOnAndLoadsNone) {
    const QString a = writeTone(dir, QStringLiteral("a.wav"), 0.2);
    const QString b = writeTone(dir, QStringLiteral("b.wav"), 0.2);
    const QString c = writeTone(dir, QStringLiteral("c.wav"), 0.2);
    auto mime = std::make_unique<QMimeData>();
    // A web link among them is left out.
    mime->setUrls({QUrl::fromLocalFile(a), QUrl(QStringLiteral("https://example.com/x.wav")),
                   QUrl::fromLocalFile(b), QUrl::fromLocalFile(c)});
    QSignalSpy dropped(view(), &ContentView::filesDropped);
    bool accepted = false;
    sendDrop(mime.get(), &accepted);
    EXPECT_TRUE(accepted);
    EXPECT_FALSE(view()->dropZone()->isTargeted());
    ASSERT_TRUE(waitFor([&] { return dropped.size() == 1; }));
    EXPECT_EQ(dropped.front().front().toStringList(), QStringList({a, b, c}));
    EXPECT_FALSE(model->isLoading());
    EXPECT_TRUE(model->orig().empty());
}

TEST_F(ContentViewTest, DropOnTheWaveformsReplacesTheLoadedFile) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("old.wav"), 1.0)));
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls({QUrl::fromLocalFile(writeTone(dir, QStringLiteral("new.wav"), 1.5))});
    sendDrop(mime.get());
    ASSERT_TRUE(waitFor([&] { return model->isLoading(); }));
    EXPECT_TRUE(view()->spinner()->isVisible());
    EXPECT_TRUE(view()->waveforms()->isVisible());
    ASSERT_TRUE(waitFor([&] { return !model->isLoading() && !model->isProcessing(); }));
    EXPECT_EQ(model->fileName(), "new.wav");
    EXPECT_DOUBLE_EQ(model->duration(), 1.5);
}

TEST_F(ContentViewTest, DragsWithoutALocalFileAreRefusedAndLeaveTheOutlineAlone) {
    const QColor idle = view()->dropZone()->outlineColor();
    const auto refused = [&](QMimeData* mime) {
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view(), &enter);
        EXPECT_FALSE(enter.isAccepted());
        EXPECT_FALSE(view()->dropZone()->isTargeted());
        EXPECT_EQ(view()->dropZone()->outlineColor(), idle);
        bool accepted = true;
        sendDrop(mime, &accepted);
        EXPECT_FALSE(accepted);
    };
    QMimeData text;
    text.setText(QStringLiteral("/tmp/looks-like-a-path.wav"));
    refused(&text);
    QMimeData web;
    web.setUrls({QUrl(QStringLiteral("https://example.com/memo.wav"))});
    refused(&web);
    QMimeData nothing;
    nothing.setUrls({});
    refused(&nothing);

    QCoreApplication::processEvents();
    EXPECT_FALSE(model->isLoading());
    EXPECT_TRUE(model->errorMessage().isNull());
}

TEST_F(ContentViewTest, FileDragColoursTheOutlineUntilItLeaves) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(dir.filePath(QStringLiteral("x.wav")))});
    const QColor idle = view()->dropZone()->outlineColor();
    // Over the 18 px margin, outside the drop zone itself: the whole window is the target.
    QDragEnterEvent enter(QPoint(3, 3), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_TRUE(view()->dropZone()->isTargeted());
    EXPECT_NE(view()->dropZone()->outlineColor(), idle);
    QDragLeaveEvent leave;
    QCoreApplication::sendEvent(view(), &leave);
    EXPECT_FALSE(view()->dropZone()->isTargeted());
    EXPECT_EQ(view()->dropZone()->outlineColor(), idle);
}

TEST_F(ContentViewTest, LongFileNamesKeepBothEndsAndNamesAreNeverMarkup) {
    const QString longName =
        QStringLiteral("<b>interview with the whole team about the new office and its "
                       "hum, recorded on the second floor, final take.wav");
    ASSERT_TRUE(loadAndSettle(writeTone(dir, longName, 1.0)));
    ElidedLabel* label = view()->fileNameLabel();
    EXPECT_EQ(label->text(), longName);
    const QString shown = label->displayedText();
    EXPECT_TRUE(shown.contains(QStringLiteral("…"))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("<b>inter"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("take.wav"))) << shown.toStdString();
    // The buttons stay whole at the trailing edge.
    EXPECT_LE(label->geometry().right(), view()->openButton()->geometry().left());

    // An error text with angle brackets shows as typed too.
    model->load(writeText(dir, QStringLiteral("<i>not audio.txt")));
    ASSERT_TRUE(waitFor([&] { return !model->isLoading(); }));
    EXPECT_EQ(view()->errorLine()->textFormat(), Qt::PlainText);
}

// Closing the window while an export is being written asks first, Cancel by default; Quit
// stops the export: nothing is written and the earlier file stays as it was.
TEST_F(ContentViewTest, ClosingWhileExportingAsksAndQuitDiscardsTheExport) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, "tone.wav", 3.0)));
    const QString destination = dir.filePath("out.m4a");
    {
        QFile earlier(destination);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write("earlier");
    }
    log->exportAnswer = destination;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    hooks->exportStarting = [released] { released.wait(); };
    model->exportAudio(AudioExporter::Kind::m4a);
    ASSERT_TRUE(model->isExporting());

    for (const char* answer : {"cancel", "quit"}) {
        SCOPED_TRACE(answer);
        bool asked = false;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            asked = true;
            EXPECT_EQ(box->text(), "An export is still being written. Quit and discard it?");
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Cancel));
            (std::string(answer) == "quit"
                 ? box->findChild<QPushButton*>(QStringLiteral("quitButton"))
                 : box->button(QMessageBox::Cancel))
                ->click();
        });
        const bool closed = window->close();
        EXPECT_TRUE(asked);
        EXPECT_EQ(closed, std::string(answer) == "quit");
    }
    release.set_value();
    ASSERT_TRUE(waitFor([this] { return !model->isExporting(); }));
    QFile earlier(destination);
    ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
    EXPECT_EQ(earlier.readAll(), "earlier");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // tone, out
    EXPECT_TRUE(model->savedFile().isNull());
}

} // namespace
} // namespace taln::test
