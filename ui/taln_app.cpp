#include "ui/taln_app.h"

#include "model/taln_model.h"
#include "ui/main_window.h"
#include "ui/settings.h"

#include <algorithm>

namespace taln {

TalnApp::TalnApp(MakePanels makePanels, MakeOutput makeOutput)
    : makePanels_(std::move(makePanels)), makeOutput_(std::move(makeOutput)) {}

TalnApp::~TalnApp() {
    // Each window reads its model until it goes: the windows first, and each takes its model
    // along (see newWindow).
    std::vector<MainWindow*> windows;
    for (const Open& open : open_) {
        windows.push_back(open.window);
    }
    for (MainWindow* window : windows) {
        delete window;
    }
}

MainWindow* TalnApp::newWindow(MainWindow* from) {
    auto model = std::make_unique<TalnModel>(makePanels_(), makeOutput_());
    TalnModel* shown = model.get();
    // Every file that loads goes to the top of Open Recent.
    connect(shown, &TalnModel::fileNameChanged, this, [shown] {
        if (!shown->filePath().isNull()) {
            Settings::addRecentFile(shown->filePath());
        }
    });
    auto* window = new MainWindow(shown);
    open_.push_back({window, std::move(model)});
    // `destroyed` comes once the window's widgets are gone: nothing reads the model any more.
    connect(window, &QObject::destroyed, this, [this, window] {
        std::erase_if(open_, [window](const Open& open) { return open.window == window; });
    });
    connect(window, &MainWindow::newWindowRequested, this, [this, window] { newWindow(window); });
    if (from != nullptr) {
        window->move(from->pos() + QPoint(kCascadeOffset, kCascadeOffset));
    }
    window->show();
    return window;
}

QList<MainWindow*> TalnApp::windows() const {
    QList<MainWindow*> open;
    for (const Open& entry : open_) {
        open.append(entry.window);
    }
    return open;
}

} // namespace taln
