#include "ui/main_window.h"

#include "model/taln_model.h"
#include "ui/content_view.h"
#include "ui/look.h"

#include <QAction>
#include <QApplication>
#include <QVBoxLayout>

namespace taln {

MainWindow::MainWindow(TalnModel* model, QWidget* parent)
    : QWidget(parent, Qt::Window), content_(new ContentView(model, this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Taln"));
    setWindowIcon(look::appIcon());
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kMinimumWidth, kMinimumHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content_);

    auto* newWindow = new QAction(QStringLiteral("New Window"), this);
    newWindow->setObjectName(QStringLiteral("newWindowAction"));
    newWindow->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(newWindow, &QAction::triggered, this, &MainWindow::newWindowRequested);
    addAction(newWindow);

    auto* open = new QAction(QStringLiteral("Open…"), this);
    open->setObjectName(QStringLiteral("openAction"));
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(open, &QAction::triggered, model, &TalnModel::openPanel);
    addAction(open);

    auto* quit = new QAction(QStringLiteral("Quit"), this);
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);
    addAction(quit);
}

} // namespace taln
