#include "ui/menu_bar.h"

#include "model/taln_model.h"
#include "ui/help_dialogs.h"
#include "ui/settings.h"

#include <QActionGroup>
#include <QApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QMenu>

namespace taln {

MenuBar::MenuBar(TalnModel* model, QWidget* window) : QMenuBar(window), model_(model) {
    setObjectName(QStringLiteral("menuBar"));

    QMenu* file = addMenu(QStringLiteral("&File"));
    connect(add(file, QStringLiteral("Open…"), "openAction", QKeySequence(Qt::CTRL | Qt::Key_O)),
            &QAction::triggered, model_, &TalnModel::openPanel);
    recent_ = file->addMenu(QStringLiteral("Open Recent"));
    recent_->setObjectName(QStringLiteral("recentMenu"));
    connect(recent_, &QMenu::aboutToShow, this, &MenuBar::fillRecent);
    fillRecent();
    file->addSeparator();
    QAction* m4a = add(file, QStringLiteral("Export as M4A…"), "exportM4aAction",
                       QKeySequence(Qt::CTRL | Qt::Key_E));
    connect(m4a, &QAction::triggered, model_,
            [this] { model_->exportAudio(AudioExporter::Kind::m4a); });
    QAction* wav = add(file, QStringLiteral("Export as WAV…"), "exportWavAction",
                       QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    connect(wav, &QAction::triggered, model_,
            [this] { model_->exportAudio(AudioExporter::Kind::wav); });
    QAction* flac = add(file, QStringLiteral("Export as FLAC…"), "exportFlacAction",
                        QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_E));
    connect(flac, &QAction::triggered, model_,
            [this] { model_->exportAudio(AudioExporter::Kind::flac); });
    // Shown for a file with video only.
    video_ = add(file, QStringLiteral("Export Video…"), "exportVideoAction");
    connect(video_, &QAction::triggered, model_, &TalnModel::exportVideo);
    exports_ = {m4a, wav, flac, video_};
    file->addSeparator();
    connect(add(file, QStringLiteral("New Window"), "newWindowAction",
                QKeySequence(Qt::CTRL | Qt::Key_N)),
            &QAction::triggered, this, &MenuBar::newWindowRequested);
    connect(add(file, QStringLiteral("Close Window"), "closeWindowAction",
                QKeySequence(Qt::CTRL | Qt::Key_W)),
            &QAction::triggered, window, &QWidget::close);
    connect(add(file, QStringLiteral("Quit"), "quitAction", QKeySequence(Qt::CTRL | Qt::Key_Q)),
            &QAction::triggered, qApp, &QApplication::closeAllWindows);

    QMenu* playback = addMenu(QStringLiteral("&Playback"));
    QAction* play =
        add(playback, QStringLiteral("Play/Pause"), "playPauseAction", QKeySequence(Qt::Key_Space));
    connect(play, &QAction::triggered, model_, &TalnModel::togglePlay);
    compare_ =
        add(playback, QStringLiteral("Compare Original"), "compareAction", QKeySequence(Qt::Key_C));
    // Cleaned and Original in turn; from Removed, back to Cleaned.
    connect(compare_, &QAction::triggered, model_, [this] {
        model_->setHearOriginal(model_->listening() == TalnModel::Listening::Cleaned);
    });
    // Toggles: a key held down acts once, not once per repeat of the keyboard.
    play->setAutoRepeat(false);
    compare_->setAutoRepeat(false);
    playback->addSeparator();
    QAction* back = add(playback, QStringLiteral("Back 5 s"), "backAction",
                        QKeySequence(Qt::SHIFT | Qt::Key_Left));
    connect(back, &QAction::triggered, model_, [this] { model_->skip(-kSkipSeconds); });
    QAction* forward = add(playback, QStringLiteral("Forward 5 s"), "forwardAction",
                           QKeySequence(Qt::SHIFT | Qt::Key_Right));
    connect(forward, &QAction::triggered, model_, [this] { model_->skip(kSkipSeconds); });
    QAction* start =
        add(playback, QStringLiteral("To Start"), "toStartAction", QKeySequence(Qt::Key_Home));
    connect(start, &QAction::triggered, model_, [this] { model_->seek(0.0); });
    playback->addSeparator();
    QAction* selectionStart = add(playback, QStringLiteral("Start Selection at Playhead"),
                                  "selectionStartAction", QKeySequence(Qt::Key_BracketLeft));
    connect(selectionStart, &QAction::triggered, model_, &TalnModel::startSelectionAtPlayhead);
    QAction* selectionEnd = add(playback, QStringLiteral("End Selection at Playhead"),
                                "selectionEndAction", QKeySequence(Qt::Key_BracketRight));
    connect(selectionEnd, &QAction::triggered, model_, &TalnModel::endSelectionAtPlayhead);
    playback->addSeparator();
    // The listening positions.
    auto* hearing = new QActionGroup(this);
    hearCleaned_ = add(playback, QStringLiteral("Hear Cleaned"), "hearCleanedAction");
    hearOriginal_ = add(playback, QStringLiteral("Hear Original"), "hearOriginalAction");
    hearRemoved_ =
        add(playback, QStringLiteral("Hear Removed"), "hearRemovedAction", QKeySequence(Qt::Key_R));
    hearRemoved_->setAutoRepeat(false);
    for (QAction* position : {hearCleaned_, hearOriginal_, hearRemoved_}) {
        position->setCheckable(true);
        hearing->addAction(position);
    }
    connect(hearCleaned_, &QAction::triggered, model_, [this] { model_->setHearOriginal(false); });
    connect(hearOriginal_, &QAction::triggered, model_, [this] { model_->setHearOriginal(true); });
    connect(hearRemoved_, &QAction::triggered, model_,
            [this] { model_->setListening(TalnModel::Listening::Removed); });
    compare_->setCheckable(true);

    QMenu* view = addMenu(QStringLiteral("&View"));
    spectrogram_ =
        add(view, QStringLiteral("Spectrogram"), "spectrogramAction", QKeySequence(Qt::Key_S));
    spectrogram_->setCheckable(true);
    spectrogram_->setAutoRepeat(false);
    connect(spectrogram_, &QAction::toggled, this, &MenuBar::spectrogramToggled);
    view->addSeparator();
    QAction* zoomIn = add(view, QStringLiteral("Zoom In"), "zoomInAction");
    // Ctrl+= is Ctrl++ without the Shift most layouts need for "+".
    zoomIn->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Equal), QKeySequence::ZoomIn});
    connect(zoomIn, &QAction::triggered, this, [this] { emit zoomRequested(1); });
    QAction* zoomOut = add(view, QStringLiteral("Zoom Out"), "zoomOutAction",
                           QKeySequence(Qt::CTRL | Qt::Key_Minus));
    connect(zoomOut, &QAction::triggered, this, [this] { emit zoomRequested(-1); });
    QAction* whole = add(view, QStringLiteral("Whole File"), "wholeFileAction",
                         QKeySequence(Qt::CTRL | Qt::Key_0));
    connect(whole, &QAction::triggered, this, &MenuBar::wholeFileRequested);

    needAudio_ = {play,         compare_,      back,         forward,        start,
                  hearCleaned_, hearOriginal_, hearRemoved_, selectionStart, selectionEnd,
                  spectrogram_, zoomIn,        zoomOut,      whole};

    QMenu* help = addMenu(QStringLiteral("&Help"));
    QAction* shortcuts = add(help, QStringLiteral("Keyboard Shortcuts"), "shortcutsAction");
    shortcuts->setShortcuts({QKeySequence(Qt::Key_F1), QKeySequence(Qt::CTRL | Qt::Key_Question)});
    connect(shortcuts, &QAction::triggered, this,
            [window] { HelpDialogs::showKeyboardShortcuts(window); });
    connect(add(help, QStringLiteral("About Taln"), "aboutAction"), &QAction::triggered, this,
            [window] { HelpDialogs::showAbout(window); });

    for (auto signal :
         {&TalnModel::fileNameChanged, &TalnModel::durationChanged, &TalnModel::isProcessingChanged,
          &TalnModel::listeningChanged, &TalnModel::hasVideoChanged}) {
        connect(model_, signal, this, &MenuBar::follow);
    }
    follow();
}

QAction* MenuBar::add(QMenu* menu, const QString& text, const char* objectName,
                      const QKeySequence& shortcut) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QString::fromLatin1(objectName));
    action->setShortcut(shortcut);
    // The shortcuts also work while the menu bar is hidden or not focused: the window owns them.
    parentWidget()->addAction(action);
    return action;
}

void MenuBar::fillRecent() {
    recent_->clear();
    // Files moved or deleted since are dropped from the list rather than offered.
    const QStringList remembered = Settings::recentFiles();
    QStringList files;
    for (const QString& path : remembered) {
        if (QFileInfo::exists(path)) {
            files.append(path);
        }
    }
    if (files != remembered) {
        Settings::setRecentFiles(files);
    }
    const QFontMetrics metrics(recent_->font());
    for (const QString& path : files) {
        // A long name is shortened in its middle, where names differ least (a menu 1000 px
        // wide is no menu); the tooltip gives the whole path.
        QAction* entry = recent_->addAction(
            metrics.elidedText(QFileInfo(path).fileName(), Qt::ElideMiddle, kRecentNameWidth));
        entry->setToolTip(path);
        connect(entry, &QAction::triggered, model_, [this, path] { model_->load(path); });
    }
    recent_->addSeparator();
    QAction* clear = recent_->addAction(QStringLiteral("Clear"));
    clear->setObjectName(QStringLiteral("clearRecentAction"));
    clear->setEnabled(!files.isEmpty());
    connect(clear, &QAction::triggered, this, [] { Settings::clearRecentFiles(); });
}

void MenuBar::follow() {
    const bool loaded = !model_->orig().empty();
    for (QAction* action : needAudio_) {
        action->setEnabled(loaded);
    }
    for (QAction* action : exports_) {
        action->setEnabled(loaded && !model_->isProcessing());
    }
    video_->setVisible(loaded && model_->hasVideo());
    compare_->setChecked(model_->hearOriginal());
    const TalnModel::Listening listening = model_->listening();
    (listening == TalnModel::Listening::Original  ? hearOriginal_
     : listening == TalnModel::Listening::Removed ? hearRemoved_
                                                  : hearCleaned_)
        ->setChecked(true);
}

} // namespace taln
