#pragma once

// ContentView: the window's whole content. The header ("Taln", the file name, a spinner
// while loading or processing, "Open…", the "Export" menu); below it the drop zone while
// no audio is loaded, otherwise the waveforms and the controls bar; at the bottom the
// error line while the model has a message. The whole view accepts drops of files: the
// first file of a drop is loaded.
//
// Holds no state of its own beyond the drag highlight; every change the model announces
// re-reads it. Does not own the model. Main thread.

#include <QUrl>
#include <QWidget>

class QAction;
class QLabel;
class QMimeData;
class QPushButton;

namespace taln {

class BusySpinner;
class ControlsBar;
class DropZone;
class ElidedLabel;
class TalnModel;
class WaveformsArea;

class ContentView : public QWidget {
    Q_OBJECT

public:
    explicit ContentView(TalnModel* model, QWidget* parent = nullptr);

    TalnModel* model() const { return model_; }

    // The file a drag or drop carries: its first URL, when that is a local file; else an
    // empty URL (text, web links, nothing).
    static QUrl droppedFile(const QMimeData* mime);

    ElidedLabel* fileNameLabel() const { return fileName_; }
    BusySpinner* spinner() const { return spinner_; }
    QPushButton* openButton() const { return open_; }
    QPushButton* exportButton() const { return export_; }
    DropZone* dropZone() const { return dropZone_; }
    WaveformsArea* waveforms() const { return waveforms_; }
    ControlsBar* controls() const { return controls_; }
    QLabel* errorLine() const { return error_; }
    QLabel* noticeLine() const { return notice_; }
    QAction* exportVideoAction() const { return exportVideo_; }
    QAction* normaliseLoudnessAction() const { return loudness_; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refresh();

    TalnModel* model_;
    ElidedLabel* fileName_;
    BusySpinner* spinner_;
    QPushButton* open_;
    QPushButton* export_;
    DropZone* dropZone_;
    WaveformsArea* waveforms_;
    ControlsBar* controls_;
    QLabel* error_;
    QLabel* notice_;
    QAction* exportVideo_;
    QAction* loudness_;
};

} // namespace taln
