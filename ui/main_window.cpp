#include "ui/main_window.h"

#include "model/taln_model.h"
#include "ui/accessibility.h"
#include "ui/batch_panel.h"
#include "ui/button_keys.h"
#include "ui/content_view.h"
#include "ui/look.h"
#include "ui/menu_bar.h"
#include "ui/settings.h"
#include "ui/waveforms_area.h"

#include <QAction>
#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

namespace taln {

namespace {

// The window manager's title bar and frame lie outside the widget's size and are unknown
// until the window is shown; this much height is kept free for them so the whole window
// fits (title bars run 20 to 30 px on the common desktops).
constexpr int kDecorationAllowance = 32;

} // namespace

MainWindow::MainWindow(TalnModel* model, QWidget* parent)
    // Qt caches a widget's accessible interface when the widget first announces a change,
    // so Taln's own are registered before any widget exists.
    : QWidget(parent, Qt::Window), model_(model),
      content_((installAccessibility(), installButtonKeys(), new ContentView(model, this))),
      menuBar_(new MenuBar(model, this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(look::appIcon());
    const QSize minimum = minimumFor(screen()->availableGeometry().size());
    setMinimumSize(minimum);
    resize(minimum);
    if (const QByteArray geometry = Settings::windowGeometry(); !geometry.isEmpty()) {
        restoreGeometry(geometry);
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setMenuBar(menuBar_);
    layout->addWidget(content_);

    connect(menuBar_, &MenuBar::newWindowRequested, this, &MainWindow::newWindowRequested);
    WaveformsArea* waveforms = content_->waveforms();
    connect(menuBar_, &MenuBar::zoomRequested, waveforms, &WaveformsArea::zoom);
    connect(menuBar_, &MenuBar::wholeFileRequested, waveforms, &WaveformsArea::showWholeFile);
    connect(menuBar_, &MenuBar::spectrogramToggled, waveforms, &WaveformsArea::showSpectrograms);

    // The window's one Esc: what runs in the background stops first; else the selection goes.
    auto* cancel = new QAction(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelAction"));
    cancel->setShortcut(QKeySequence(Qt::Key_Escape));
    connect(cancel, &QAction::triggered, model_, [this] {
        if (model_->isLoading() || model_->isExporting()) {
            model_->cancelLoad();
            model_->cancelExport();
        } else if (model_->hasSelection()) {
            model_->clearSelection();
        }
    });
    addAction(cancel);

    connect(content_, &ContentView::filesDropped, this, &MainWindow::openBatch);
    connect(model_, &TalnModel::batchRequested, this, &MainWindow::openBatch);

    connect(model_, &TalnModel::fileNameChanged, this, &MainWindow::updateTitle);
    updateTitle();
}

void MainWindow::openBatch(const QStringList& files) {
    auto* panel = new BatchPanel(files, model_->strength(), this);
    panel->show();
}

QSize MainWindow::minimumFor(const QSize& available) {
    return {std::min(kMinimumWidth, available.width()),
            std::min(kMinimumHeight, available.height() - kDecorationAllowance)};
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Closing a window ends its model, and with it any export still being written: ask first,
    // Cancel by default. A discarded export stops at once, leaving no file and any earlier
    // one at its destination as it was.
    if (model_->isExporting()) {
        QMessageBox ask(QMessageBox::Warning, QStringLiteral("Taln"),
                        QStringLiteral("An export is still being written. Quit and discard it?"),
                        QMessageBox::NoButton, this);
        ask.setObjectName(QStringLiteral("quitWhileExportingBox"));
        QPushButton* quit = ask.addButton(QStringLiteral("Quit"), QMessageBox::DestructiveRole);
        quit->setObjectName(QStringLiteral("quitButton"));
        QPushButton* stay = ask.addButton(QMessageBox::Cancel);
        ask.setDefaultButton(stay);
        ask.setEscapeButton(stay);
        ask.exec();
        if (ask.clickedButton() != quit) {
            event->ignore();
            return;
        }
        model_->cancelExport();
    }
    Settings::setWindowGeometry(saveGeometry());
    QWidget::closeEvent(event);
}

void MainWindow::updateTitle() {
    const QString name = model_->fileName();
    setWindowTitle(name.isNull() ? QStringLiteral("Taln") : name + QStringLiteral(" — Taln"));
}

} // namespace taln
