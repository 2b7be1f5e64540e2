#pragma once

// DropZone: what the window shows while no audio is loaded. The waveform symbol, the title
// ("Reading audio…" while loading), the hint, and "Choose File…" unless loading, inside a
// dashed rounded outline that turns the accent colour while a file drag is over the window.
// It only displays; ContentView feeds it and handles the drops. Main thread.

#include <QWidget>

class QLabel;
class QPushButton;

namespace taln {

class DropZone : public QWidget {
    Q_OBJECT

public:
    explicit DropZone(QWidget* parent = nullptr);

    // While loading the title reads loadingText(progress) ("Reading audio… 43 %").
    void setLoading(bool loading, double progress = -1.0);
    void setTargeted(bool targeted);
    bool isTargeted() const { return targeted_; }

    // The outline's colour now: the accent while targeted, else the secondary at 40 %.
    QColor outlineColor() const;

    QLabel* titleLabel() const { return title_; }
    QPushButton* chooseButton() const { return choose_; }

signals:
    void chooseFileRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void updateSymbol();

    QLabel* symbol_;
    QLabel* title_;
    QLabel* hint_;
    QPushButton* choose_;
    bool targeted_ = false;
};

} // namespace taln
