#pragma once

// ElidedLabel: one line of plain text that, when it does not fit, keeps its beginning and
// its end with an ellipsis in the middle. The text is shown verbatim: never read as markup.
// Main thread.

#include <QString>
#include <QWidget>

namespace taln {

class ElidedLabel : public QWidget {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return text_; }

    // What is painted at the current width.
    QString displayedText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
};

} // namespace taln
