#pragma once

// TalnApp: the application. It owns the one TalnModel of the process and opens windows
// on it; every window shows the same model, so a change made in one shows in all. The
// model lives until the TalnApp goes, however many windows open and close; closing the
// last window quits (Qt's default). Each file that loads is remembered in Open Recent
// (Settings). Main thread.

#include "audio/audio_output.h"
#include "model/file_panels.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <memory>

namespace taln {

class MainWindow;
class TalnModel;

class TalnApp : public QObject {
    Q_OBJECT

public:
    // `panels` and `output` go to the model: QtFilePanels and the SDL output in the
    // program, fakes in tests.
    TalnApp(std::unique_ptr<FilePanels> panels, std::unique_ptr<AudioOutput> output);
    ~TalnApp() override;

    TalnModel* model() const { return model_.get(); }

    // Opens (shows) another window on the model. The window deletes itself when closed.
    MainWindow* newWindow();

    // The windows still open, oldest first.
    QList<MainWindow*> windows() const;

private:
    std::unique_ptr<TalnModel> model_;
    QList<QPointer<MainWindow>> windows_;
};

} // namespace taln
