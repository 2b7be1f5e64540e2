#pragma once

// MainWindow: one top-level window of Taln, titled with the application's name, at least
// 760 × 560, showing a ContentView of the shared model. Its commands: New Window (Ctrl+N),
// Open (Ctrl+O), Quit (Ctrl+Q). Deletes itself when closed. Main thread.

#include <QWidget>

namespace taln {

class ContentView;
class TalnModel;

class MainWindow : public QWidget {
    Q_OBJECT

public:
    static constexpr int kMinimumWidth = 760;
    static constexpr int kMinimumHeight = 560;

    explicit MainWindow(TalnModel* model, QWidget* parent = nullptr);

    ContentView* content() const { return content_; }

signals:
    void newWindowRequested();

private:
    ContentView* content_;
};

} // namespace taln
