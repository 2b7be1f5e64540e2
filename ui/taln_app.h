#pragma once

// TalnApp: the application. Each window it opens is independent: its own TalnModel (with its
// own panels and sound output), its own file and player, so opening a file in one window
// leaves the others as they were. A window opened from another (New Window) is placed
// offset from it, down and to the right. A window's model goes with the window; closing the
// last window quits (Qt's default). Each file that loads in any window is remembered in Open
// Recent (Settings). Main thread.

#include "audio/audio_output.h"
#include "model/file_panels.h"

#include <QList>
#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace taln {

class MainWindow;
class TalnModel;

class TalnApp : public QObject {
    Q_OBJECT

public:
    // How far a new window sits from the one it was opened from, right and down.
    static constexpr int kCascadeOffset = 32;

    using MakePanels = std::function<std::unique_ptr<FilePanels>()>;
    using MakeOutput = std::function<std::unique_ptr<AudioOutput>()>;

    // Every window's model gets panels from `makePanels` and a sound output from `makeOutput`:
    // QtFilePanels and the SDL output in the program, fakes in tests.
    TalnApp(MakePanels makePanels, MakeOutput makeOutput);
    ~TalnApp() override;

    // Opens (shows) a window on a new model, offset from `from` when given. The window
    // deletes itself when closed, and its model with it.
    MainWindow* newWindow(MainWindow* from = nullptr);

    // The windows still open, oldest first.
    QList<MainWindow*> windows() const;

private:
    struct Open {
        MainWindow* window;
        std::unique_ptr<TalnModel> model;
    };

    MakePanels makePanels_;
    MakeOutput makeOutput_;
    std::vector<Open> open_;
};

} // namespace taln
