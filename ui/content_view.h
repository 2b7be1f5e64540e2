#pragma once

// ContentView: the window's whole content. The header ("Taln", the file name (that of the
// file being read, while one is), a spinner while loading or processing, "Open…", the
// "Export" menu); below it the drop zone while
// no audio is loaded, otherwise the waveforms and the controls bar; at the bottom the
// error line while the model has a message. While a file is read the header (or the drop
// zone) shows how far; while an export writes, a progress bar; after it, the notice line
// says "Saved <name> — Show in Folder", the link opening the folder. The whole view accepts drops
// of files: one file is loaded; several are handed on through filesDropped, to be cleaned
// together.
//
// The strength is remembered across runs (Settings) and set on the model at start. Tab goes
// through the controls in the order of the layout; the file name and the notice line are
// named for screen readers by their plain text.
//
// Holds no state of its own beyond the drag highlight; every change the model announces
// re-reads it. Does not own the model. Main thread.

#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWidget>

class QAction;
class QLabel;
class QMimeData;
class QProgressBar;
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
    ~ContentView() override;

    TalnModel* model() const { return model_; }

    // The file a drag or drop carries: its first URL, when that is a local file; else an
    // empty URL (text, web links, nothing).
    static QUrl droppedFile(const QMimeData* mime);
    // Every local file a drop carries, in its order; other URLs are left out.
    static QStringList droppedFiles(const QMimeData* mime);

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
    // "Reading audio… 43 %" in the header while a file is read over a loaded one.
    QLabel* progressLabel() const { return progress_; }
    // The determinate bar in the header while an export writes.
    QProgressBar* exportProgress() const { return exportProgress_; }

signals:
    // A drop of several files (their paths, in order), none of them loaded.
    void filesDropped(const QStringList& paths);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Down on the focused Export button opens its menu (Return and Space do, as on any
    // button: installButtonKeys).
    bool eventFilter(QObject* watched, QEvent* event) override;

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
    QLabel* progress_;
    QProgressBar* exportProgress_;
    // Remembers the strength (Settings) once it has rested.
    QTimer saveStrength_;
};

} // namespace taln
