#pragma once

// BatchRun: several files cleaned in one go, as taln-clean's batch form cleans them: each file
// decoded, its noise measured from its quietest frames, its channels cleaned by pieces on a
// WorkerPool of its own (PieceScheduler, in order) at one strength, and written as
// "<name> (Taln).<ext>" (OutputNames) into the chosen folder, or beside the file itself when
// no folder is chosen. WAV, FLAC and M4A are written stretch by stretch while later pieces
// still clean; a video once its sound is whole.
//
// One file at a time, in the order given (the pool keeps every core busy within a file); a
// file that fails is named on its row in plain words and the run goes on with the next. A
// file whose output would be one of the batch's own inputs (by any path to it), or an output
// another file of the batch has already written, is refused: no recording is written over.
// The same file given twice is listed once.
//
// Stopping ends the file being cleaned at its next piece (a decode between two packets, a
// write within 65,536 frames); nothing of it is written and any earlier file at its output
// stays as it was (the exporters replace a file only once the new one is complete). The files
// after it are marked stopped.
//
// Threads: a QObject of the main thread. The work runs on a thread of its own and reports
// through the event loop: a file's state as it changes (queued), its progress polled 30 times a
// second while it cleans. Destroying a run stops it and waits for its thread.
// Units: strength in percent (the window's slider, 0 ... 100); progress 0 ... 1.

#include "audio/audio_exporter.h"
#include "audio/output_names.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <vector>

namespace taln {

struct WorkerHooks;

class BatchRun : public QObject {
    Q_OBJECT

public:
    // What each file is written as: as taln-clean's --format.
    using Format = OutputNames::Format;
    enum class State { waiting, cleaning, done, failed, stopped };

    struct Item {
        QString input;  // the path given
        QString output; // where it is written, once the run has started; empty before
        State state = State::waiting;
        double progress = 0.0;
        // Why it failed or was refused, for the user; empty otherwise.
        QString message;
    };

    struct Settings {
        // Empty: each file's cleaned copy goes beside it.
        QString folder;
        Format format = Format::wav;
        double strength = 60.0;
    };

    // `inputs` in their order, each file once. `hooks`, for tests, are called on the run's
    // thread (none in the app).
    explicit BatchRun(const QStringList& inputs, QObject* parent = nullptr,
                      std::shared_ptr<WorkerHooks> hooks = {});
    ~BatchRun() override;

    const std::vector<Item>& items() const { return items_; }
    bool isRunning() const { return running_; }
    // Started and ended (every file done, failed or stopped).
    bool isFinished() const { return finished_; }

    // Where `input` is written as `format` in `folder` (empty: the input's own folder).
    static QString outputFor(const QString& input, const QString& folder, Format format);

    // Starts cleaning with `settings`; once only, later calls do nothing. A folder that is
    // missing is made; one that cannot be fails every file with the reason.
    void start(const Settings& settings);

public slots:
    // Stops the run (see above); nothing while it is not running.
    void stop();

signals:
    // Item `index`'s state, message or progress changed.
    void itemChanged(int index);
    void runningChanged();

public:
    // What the run's thread and this object share; not for callers.
    struct Shared;

private:
    void apply(int index, State state, const QString& message);
    void finish();
    void poll();

    std::vector<Item> items_;
    bool running_ = false;
    bool finished_ = false;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<WorkerHooks> hooks_;
    QTimer poll_;
};

} // namespace taln
