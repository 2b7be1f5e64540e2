#pragma once

// MainWindow: one top-level window of Taln, titled "<file name> — Taln" once a file is loaded
// (else "Taln"), at least 760 × 560 where the screen has room for it (never more than the
// screen's available area, so it fits at any scale), showing the menu bar (MenuBar) over a
// ContentView of its model. Esc cancels a load or an export in progress, else drops the
// selection. Several files dropped on it or chosen in File > Open open a BatchPanel that cleans
// them together, at the window's strength. A focused button takes Space and Return
// (installButtonKeys). It opens with the geometry the last closed window had (Settings) and deletes
// itself when closed. Main thread.

#include <QStringList>
#include <QWidget>

namespace taln {

class ContentView;
class MenuBar;
class TalnModel;

class MainWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kMinimumWidth = 760;
    static constexpr int kMinimumHeight = 560;

    explicit MainWindow(TalnModel* model, QWidget* parent = nullptr);

    ContentView* content() const { return content_; }
    MenuBar* menuBar() const { return menuBar_; }

    // The minimum size on a screen whose available area is `available`: 760 × 560, less
    // where the screen, with room for the title bar, is smaller.
    static QSize minimumFor(const QSize& available);

    // Shows a BatchPanel for `files` over this window.
    void openBatch(const QStringList& files);

signals:
    void newWindowRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void updateTitle();

    TalnModel* model_;
    ContentView* content_;
    MenuBar* menuBar_;
};

} // namespace taln
