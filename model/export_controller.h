#pragma once

// ExportController: TalnModel's exports: asking the panels where to write, writing the cleaned
// audio as it was when the user asked (ExportTask, in the background, several at once),
// `isExporting` and the latest export's `exportProgress`, cancelling, and how each ended (the
// error, or the saved file and why its loudness fell short, through Notices).
//
// The save panel opens in the folder of the latest export, else in the loaded file's.
// Main thread only; the writing runs on workers of its own.

#include "audio/audio_exporter.h"
#include "audio/audio_format.h"
#include "audio/chunked_audio.h"
#include "audio/loudness.h"
#include "model/export_task.h"
#include "model/published.h"

#include <QString>
#include <functional>
#include <memory>
#include <vector>

namespace taln {

class FilePanels;
class Notices;
class TalnModel;
class WorkerLink;
struct ModelSettings;

class ExportController {
public:
    // What an export writes: the cleaned audio at the moment the user asks, and the file it came
    // from.
    struct Source {
        ChunkedAudio cleaned;
        AudioFormat format;
        QString fileName;   // the loaded file's name
        QString filePath;   // its absolute path (the video export's source)
        QString fileFolder; // the folder it lies in
        // The loudness of `cleaned`, when already measured (CleanedTrack::loudness).
        std::shared_ptr<const Loudness::Measurement> loudness;
    };

    // `startingHook` is read at each export's start (WorkerHooks::exportStarting).
    ExportController(TalnModel& model, std::shared_ptr<WorkerLink> link, FilePanels* panels,
                     ModelSettings& settings, Notices& notices,
                     const std::function<void()>& startingHook);

    bool isExporting() const { return isExporting_.get(); }
    double progress() const { return progress_.get(); }

    // Asks the panels where to write and starts writing `source` as `kind`, or with `video`
    // the source file again with the cleaned sound; a cancelled panel changes nothing. The
    // panel runs the event loop while it is open, so another file may be installed meanwhile:
    // what gets written is `source`, taken before.
    void start(AudioExporter::Kind kind, bool video, Source source);
    // Stops every export still writing (nothing is written, no message).
    void cancel();
    // Publishes the latest export's progress when it has moved.
    void tick();

private:
    void finish(const ExportTask::Progress* job, ExportTask::Outcome outcome, const QString& path,
                const QString& message);

    std::shared_ptr<WorkerLink> link_;
    FilePanels* panels_;
    ModelSettings& settings_;
    Notices& notices_;
    const std::function<void()>& startingHook_;
    Published<TalnModel, bool> isExporting_;
    Published<TalnModel, double> progress_;
    // Where the latest export was written; empty before the first.
    QString lastFolder_;
    // The exports still writing, oldest first; the last one's progress is published.
    std::vector<std::shared_ptr<ExportTask::Progress>> jobs_;
};

} // namespace taln
