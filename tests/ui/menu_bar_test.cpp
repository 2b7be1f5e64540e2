#include "ui/menu_bar.h"

#include "ui/content_view.h"
#include "ui/controls_bar.h"
#include "ui/elided_label.h"
#include "ui/help_dialogs.h"
#include "ui/settings.h"
#include "ui/waveform_lane.h"
#include "ui/waveforms_area.h"
#include "ui_fixture.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>

namespace taln::test {
namespace {

class MenuBarTest : public WindowTest {
protected:
    QAction* action(const char* name) const {
        return window->findChild<QAction*>(QString::fromLatin1(name));
    }
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(window->windowHandle(), key, modifiers);
        QCoreApplication::processEvents();
    }
};

TEST_F(MenuBarTest, CommandsHaveTheirShortcutsAndFollowTheModel) {
    enum class Needs { nothing, audio, audioAtRest };
    struct Row {
        const char* name;
        QKeySequence shortcut;
        Needs needs;
    };
    const Row rows[] = {
        {"openAction", QKeySequence(Qt::CTRL | Qt::Key_O), Needs::nothing},
        {"exportM4aAction", QKeySequence(Qt::CTRL | Qt::Key_E), Needs::audioAtRest},
        {"exportWavAction", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E), Needs::audioAtRest},
        {"exportFlacAction", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_E), Needs::audioAtRest},
        {"newWindowAction", QKeySequence(Qt::CTRL | Qt::Key_N), Needs::nothing},
        {"closeWindowAction", QKeySequence(Qt::CTRL | Qt::Key_W), Needs::nothing},
        {"quitAction", QKeySequence(Qt::CTRL | Qt::Key_Q), Needs::nothing},
        {"playPauseAction", QKeySequence(Qt::Key_Space), Needs::audio},
        {"compareAction", QKeySequence(Qt::Key_C), Needs::audio},
        {"backAction", QKeySequence(Qt::SHIFT | Qt::Key_Left), Needs::audio},
        {"forwardAction", QKeySequence(Qt::SHIFT | Qt::Key_Right), Needs::audio},
        {"toStartAction", QKeySequence(Qt::Key_Home), Needs::audio},
        {"hearCleanedAction", QKeySequence(), Needs::audio},
        {"hearOriginalAction", QKeySequence(), Needs::audio},
        {"selectionStartAction", QKeySequence(Qt::Key_BracketLeft), Needs::audio},
        {"selectionEndAction", QKeySequence(Qt::Key_BracketRight), Needs::audio},
        {"spectrogramAction", QKeySequence(Qt::Key_S), Needs::audio},
        {"zoomInAction", QKeySequence(Qt::CTRL | Qt::Key_Equal), Needs::audio},
        {"zoomOutAction", QKeySequence(Qt::CTRL | Qt::Key_Minus), Needs::audio},
        {"wholeFileAction", QKeySequence(Qt::CTRL | Qt::Key_0), Needs::audio},
        {"shortcutsAction", QKeySequence(Qt::Key_F1), Needs::nothing},
        {"aboutAction", QKeySequence(), Needs::nothing},
    };
    const auto check = [&](bool loaded, bool atRest) {
        for (const Row& row : rows) {
            QAction* a = action(row.name);
            ASSERT_NE(a, nullptr) << row.name;
            EXPECT_EQ(a->shortcut(), row.shortcut) << row.name;
            const bool enabled = row.needs == Needs::nothing ||
                                 (row.needs == Needs::audio && loaded) ||
                                 (row.needs == Needs::audioAtRest && loaded && atRest);
            EXPECT_EQ(a->isEnabled(), enabled) << row.name << " loaded " << loaded;
        }
    };
    check(false, true);
    // Video export has its place, out of sight until a file has video.
    ASSERT_NE(action("exportVideoAction"), nullptr);
    EXPECT_FALSE(action("exportVideoAction")->isVisible());
    EXPECT_FALSE(action("exportVideoAction")->isEnabled());

    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 1.0)));
    check(true, true);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("tone.wav — Taln"));
    model->setStrength(20.0); // a cleaning is pending: nothing to export yet
    check(true, false);
    ASSERT_TRUE(waitFor([&] { return !model->isProcessing(); }));

    action("hearOriginalAction")->trigger();
    EXPECT_TRUE(model->hearOriginal());
    EXPECT_TRUE(action("compareAction")->isChecked());
    EXPECT_TRUE(action("shortcutsAction")->shortcuts().contains(QKeySequence("Ctrl+?")));
}

// The list names every key the window has, Esc with what it does now.
TEST_F(MenuBarTest, TheShortcutsListHasEveryKey) {
    const QString text = HelpDialogs::shortcutsText();
    for (const char* keys : {"<b>R</b>", "<b>N</b>", "<b>Shift+drag</b>", "<b>[, ]</b>", "<b>S</b>",
                             "<b>Ctrl+0</b>", "<b>F1, Ctrl+?</b>"}) {
        EXPECT_TRUE(text.contains(QString::fromUtf8(keys))) << keys;
    }
    EXPECT_TRUE(
        text.contains(QStringLiteral("Cancel reading or exporting, else clear the selection")));
}

// Esc is the window's alone: it stops a load (keeping the selection), and next clears the
// selection. (Two owners of the key made Qt run neither.)
TEST_F(MenuBarTest, EscStopsTheLoadFirstThenClearsTheSelection) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 4.0)));
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    model->selectStretch(0.25, 0.5);
    model->load(writeTone(dir, QStringLiteral("other.wav"), 2.0));
    ASSERT_TRUE(model->isLoading());
    press(Qt::Key_Escape);
    EXPECT_FALSE(model->isLoading());
    EXPECT_TRUE(model->hasSelection());
    press(Qt::Key_Escape);
    EXPECT_FALSE(model->hasSelection());
    EXPECT_EQ(model->fileName(), "tone.wav");
}

// Open Recent offers only files that are still there, and a long name stays a menu's width.
TEST_F(MenuBarTest, OpenRecentDropsMissingFilesAndShortensLongNames) {
    QTemporaryDir dir;
    const QString kept = dir.filePath(QString(200, QLatin1Char('k')) + ".wav");
    QFile(kept).open(QIODevice::WriteOnly);
    Settings::setRecentFiles({dir.filePath("gone.wav"), kept});
    auto* recent = window->findChild<QMenu*>(QStringLiteral("recentMenu"));
    ASSERT_NE(recent, nullptr);
    emit recent->aboutToShow();
    QStringList shown;
    for (QAction* entry : recent->actions()) {
        if (!entry->isSeparator() && entry->objectName() != "clearRecentAction") {
            shown << entry->text();
            EXPECT_LE(recent->fontMetrics().horizontalAdvance(entry->text()),
                      MenuBar::kRecentNameWidth);
            EXPECT_EQ(entry->toolTip(), kept);
        }
    }
    EXPECT_EQ(shown.size(), 1);
    EXPECT_EQ(Settings::recentFiles(), QStringList{kept});
    Settings::clearRecentFiles();
}

TEST_F(MenuBarTest, KeysMoveThePlayheadFiveSecondsOrToTheEnds) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("long.wav"), 12.0)));
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const double end = model->duration();
    struct Step {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        bool waveformsFocused;
        double expected;
    };
    const Step steps[] = {
        {Qt::Key_Right, Qt::ShiftModifier, false, 5.0},
        {Qt::Key_Right, Qt::NoModifier, false, 5.0},
        {Qt::Key_Right, Qt::NoModifier, true, 10.0},
        {Qt::Key_Left, Qt::NoModifier, true, 5.0},
        {Qt::Key_End, Qt::NoModifier, true, end},
        {Qt::Key_Left, Qt::ShiftModifier, false, end - 5.0},
        {Qt::Key_Home, Qt::NoModifier, false, 0.0},
        {Qt::Key_Left, Qt::ShiftModifier, false, 0.0},
    };
    for (const Step& step : steps) {
        (step.waveformsFocused ? static_cast<QWidget*>(window->content()->waveforms())
                               : window->content()->openButton())
            ->setFocus();
        press(step.key, step.modifiers);
        EXPECT_NEAR(model->position(), step.expected, 1e-6) << step.key;
    }
}

TEST_F(MenuBarTest, EnterOrDownOnTheFocusedExportButtonOpensItsMenu) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 1.0)));
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QPushButton* button = window->content()->exportButton();
    for (const Qt::Key key : {Qt::Key_Down, Qt::Key_Return, Qt::Key_Enter}) {
        button->setFocus();
        QWidget* opened = nullptr;
        // The menu runs its own event loop: look, then close it.
        QTimer::singleShot(0, [&] {
            opened = QApplication::activePopupWidget();
            if (opened != nullptr) {
                opened->close();
            }
        });
        QTest::keyClick(button, key);
        EXPECT_EQ(opened, button->menu()) << key;
    }
}

TEST_F(MenuBarTest, ScreenReadersGetNamesAndThePercent) {
    ASSERT_TRUE(loadAndSettle(writeTone(dir, QStringLiteral("tone.wav"), 1.0)));
    model->setStrength(60.0);
    QAccessibleInterface* slider =
        QAccessible::queryAccessibleInterface(window->content()->controls()->strengthSlider());
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->text(QAccessible::Name), QStringLiteral("Strength"));
    EXPECT_EQ(slider->text(QAccessible::Value), QStringLiteral("60"));
    ASSERT_NE(slider->valueInterface(), nullptr);
    EXPECT_EQ(slider->valueInterface()->maximumValue().toInt(), 100);
    slider->valueInterface()->setCurrentValue(25);
    EXPECT_DOUBLE_EQ(model->strength(), 25.0);

    const std::pair<QObject*, QString> named[] = {
        {window->content()->waveforms()->originalLane(), QStringLiteral("Original waveform")},
        {window->content()->waveforms()->cleanedLane(), QStringLiteral("Cleaned waveform")},
        {window->content()->controls()->playButton(), QStringLiteral("Play")},
        {window->content()->openButton(), QStringLiteral("Open")},
        {window->content()->exportButton(), QStringLiteral("Export")},
        {window->content()->fileNameLabel(), QStringLiteral("tone.wav")},
    };
    for (const auto& [object, name] : named) {
        QAccessibleInterface* item = QAccessible::queryAccessibleInterface(object);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->text(QAccessible::Name), name);
    }
    // The notice reads as its words, not as the markup of its link.
    model->selectStretch(0.0, 0.001);
    model->useSelectionAsNoise(); // too short: a notice
    QAccessibleInterface* notice =
        QAccessible::queryAccessibleInterface(window->content()->noticeLine());
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->text(QAccessible::Name), model->notice());
    EXPECT_FALSE(model->notice().isEmpty());
}

TEST_F(MenuBarTest, TheMinimumSizeNeverExceedsTheScreen) {
    EXPECT_EQ(MainWindow::minimumFor(QSize(1920, 1080)), QSize(760, 560));
    // 1600 × 1000 at scale 2: the window and its title bar fit.
    const QSize small = MainWindow::minimumFor(QSize(800, 500));
    EXPECT_EQ(small.width(), 760);
    EXPECT_LT(small.height(), 500);
    const QSize available = window->screen()->availableGeometry().size();
    EXPECT_LE(window->minimumWidth(), available.width());
    EXPECT_LE(window->minimumHeight(), available.height());
}

} // namespace
} // namespace taln::test
