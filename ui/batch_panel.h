#pragma once

// BatchPanel: the dialog that cleans several files at once (a drop of several files, or
// several chosen in File > Open). It lists the files, each with a progress bar and a line
// saying how it stands (waiting, cleaning, done, stopped, or why it failed, in the error
// colour); above them the folder the cleaned copies go to (the first file's, until "Choose…"
// picks another), the format (WAV, FLAC, M4A, or each video again in its own container) and
// the window's strength at the moment the panel opened. Start runs the batch (BatchRun); Stop,
// Esc or the title bar's close button stop it, and the panel stays to show how each file
// ended; Close, or Esc once nothing runs, closes it. Tab goes through the controls in the order
// they are shown. Window-modal over the window that opened it; deletes itself when closed.
// Main thread.

#include "model/batch_run.h"

#include <QDialog>
#include <QStringList>
#include <vector>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace taln {

class ElidedLabel;

class BatchPanel : public QDialog {
    Q_OBJECT

public:
    // `strength` in percent, as the window's slider stands.
    BatchPanel(const QStringList& files, double strength, QWidget* parent = nullptr);

    BatchRun* run() const { return run_; }
    QString folder() const { return folder_; }
    // The folder the cleaned copies go to; shown at once.
    void setFolder(const QString& folder);

    QComboBox* formatBox() const { return format_; }
    QLabel* strengthLabel() const { return strength_; }
    QPushButton* chooseFolderButton() const { return choose_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* closeButton() const { return close_; }
    QProgressBar* progressBar(int row) const { return rows_[static_cast<std::size_t>(row)].bar; }
    QLabel* statusLine(int row) const { return rows_[static_cast<std::size_t>(row)].status; }

    // What a file's line says in `state`, `message` being the failure's words.
    static QString statusText(BatchRun::State state, const QString& message);

public slots:
    // Esc: stops a running batch; otherwise closes the panel.
    void reject() override;

private:
    struct Row {
        QProgressBar* bar;
        QLabel* status;
    };

    void startRun();
    void chooseFolder();
    void refreshRow(int index);
    void refreshButtons();

    BatchRun* run_;
    double strengthPercent_;
    QString folder_;
    ElidedLabel* folderLabel_;
    QPushButton* choose_;
    QComboBox* format_;
    QLabel* strength_;
    QLabel* summary_;
    QPushButton* start_;
    QPushButton* stop_;
    QPushButton* close_;
    std::vector<Row> rows_;
};

} // namespace taln
