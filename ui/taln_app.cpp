#include "ui/taln_app.h"

#include "model/taln_model.h"
#include "ui/main_window.h"
#include "ui/settings.h"

namespace taln {

TalnApp::TalnApp(std::unique_ptr<FilePanels> panels, std::unique_ptr<AudioOutput> output)
    : model_(std::make_unique<TalnModel>(std::move(panels), std::move(output))) {
    // Every file that loads goes to the top of Open Recent.
    connect(model_.get(), &TalnModel::fileNameChanged, this, [this] {
        if (!model_->filePath().isNull()) {
            Settings::addRecentFile(model_->filePath());
        }
    });
}

TalnApp::~TalnApp() {
    // Windows read the model until they go: close any still open before it is released.
    for (const QPointer<MainWindow>& window : windows_) {
        delete window.data();
    }
}

MainWindow* TalnApp::newWindow() {
    auto* window = new MainWindow(model_.get());
    connect(window, &MainWindow::newWindowRequested, this, &TalnApp::newWindow);
    windows_.removeAll(nullptr);
    windows_.append(window);
    window->show();
    return window;
}

QList<MainWindow*> TalnApp::windows() const {
    QList<MainWindow*> open;
    for (const QPointer<MainWindow>& window : windows_) {
        if (!window.isNull()) {
            open.append(window.data());
        }
    }
    return open;
}

} // namespace taln
