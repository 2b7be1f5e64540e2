#pragma once

// BusySpinner: a small indeterminate progress indicator, the spinning kind. It animates
// only while visible. Main thread.

#include <QTimer>
#include <QWidget>

namespace taln {

class BusySpinner : public QWidget {
    Q_OBJECT

public:
    explicit BusySpinner(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer timer_;
    int step_ = 0;
};

} // namespace taln
