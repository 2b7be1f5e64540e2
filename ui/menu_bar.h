#pragma once

// MenuBar: a window's File, Playback, View and Help menus. Every command that needs audio is
// enabled exactly while the model has a file (the exports also not while a cleaning is
// pending), as the window's buttons are. The shortcuts are the window's: Ctrl+O, Ctrl+E
// (M4A), Ctrl+Shift+E (WAV), Ctrl+N, Ctrl+W, Ctrl+Q, Space, C, R, Shift+Left / Shift+Right
// (5 s back / forward), Home, [ and ] (the selection's ends at the playhead), S (spectrograms),
// Ctrl+= or Ctrl++ and Ctrl+- (zoom), Ctrl+0 (whole file), F1 or Ctrl+? (the shortcuts); Space,
// C, R and S act once per press, not once per key repeat. The View commands only ask: the
// window passes them on to its waveforms.
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
    // View: `steps` zoom steps in (positive) or out (negative) around the playhead.
    void zoomRequested(int steps);
    void wholeFileRequested();
    void spectrogramToggled(bool shown);

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
    QAction* spectrogram_;
};

} // namespace taln
