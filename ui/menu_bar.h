#pragma once

// MenuBar: a window's File, Playback and Help menus. Every command that needs audio is
// enabled exactly while the model has a file (the exports also not while a cleaning is
// pending), as the window's buttons are. The shortcuts are the window's: Ctrl+O, Ctrl+E
// (M4A), Ctrl+Shift+E (WAV), Ctrl+N, Ctrl+W, Ctrl+Q, Space, C, Shift+Left / Shift+Right
// (5 s back / forward), Home; Space and C act once per press, not once per key repeat.
// Open Recent lists Settings::recentFiles() each time it opens. "Export Video…" stays
// hidden and disabled until the model can say a file has video. Main thread.

#include <QMenuBar>

class QAction;
class QMenu;

namespace taln {

class TalnModel;

class MenuBar : public QMenuBar {
    Q_OBJECT

public:
    // Seconds Back and Forward move.
    static constexpr double kSkipSeconds = 5.0;
    // The widest a file name in Open Recent is shown, in pixels.
    static constexpr int kRecentNameWidth = 400;

    MenuBar(TalnModel* model, QWidget* window);

signals:
    void newWindowRequested();

private:
    QAction* add(QMenu* menu, const QString& text, const char* objectName,
                 const QKeySequence& shortcut = {});
    void fillRecent();
    void follow();

    TalnModel* model_;
    QMenu* recent_;
    QList<QAction*> needAudio_;
    QList<QAction*> exports_;
    QAction* compare_;
    QAction* hearCleaned_;
    QAction* hearOriginal_;
    QAction* hearRemoved_;
    QAction* video_;
};

} // namespace taln
