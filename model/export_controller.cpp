#include "model/export_controller.h"

#include "model/file_panels.h"
#include "model/model_settings.h"
#include "model/notices.h"
#include "model/taln_model.h"

#include <QFileInfo>
#include <utility>

namespace taln {

ExportController::ExportController(TalnModel& model, std::shared_ptr<WorkerLink> link,
                                   FilePanels* panels, ModelSettings& settings, Notices& notices,
                                   const std::function<void()>& startingHook)
    : link_(std::move(link)), panels_(panels), settings_(settings), notices_(notices),
      startingHook_(startingHook), isExporting_(model, &TalnModel::isExportingChanged),
      progress_(model, &TalnModel::exportProgressChanged) {}

void ExportController::start(AudioExporter::Kind kind, bool video, Source source) {
    bool keepOriginal = settings_.keepOriginalAudio.get();
    ExportTask::Options options;
    options.format = source.format;
    options.normaliseLoudness = settings_.normaliseLoudness.get();
    options.measured = std::move(source.loudness);
    options.videoSource = video ? source.filePath : QString();

    const QString folder = lastFolder_.isEmpty() ? source.fileFolder : lastFolder_;
    const auto destination =
        video ? panels_->chooseVideoDestination(QFileInfo(source.filePath).suffix(),
                                                ExportTask::suggestedVideoName(source.fileName),
                                                folder, keepOriginal)
              : panels_->chooseExportDestination(
                    kind, ExportTask::suggestedName(source.fileName, kind), folder);
    if (!destination) {
        return;
    }
    if (video) {
        options.keepOriginalAudio = keepOriginal;
        if (keepOriginal != settings_.keepOriginalAudio.get()) {
            settings_.keepOriginalAudio.set(keepOriginal);
        }
    }
    lastFolder_ = QFileInfo(*destination).absolutePath();
    auto job = std::make_shared<ExportTask::Progress>();
    jobs_.push_back(job);
    progress_.set(0.0);
    if (!isExporting()) {
        isExporting_.set(true);
    }
    // `this` is used only on the main thread, while the link is open.
    ExportTask::start(
        link_, std::move(source.cleaned), kind, *destination, job,
        [this, raw = job.get(), path = *destination](ExportTask::Outcome outcome,
                                                     const QString& message) {
            finish(raw, outcome, path, message);
        },
        startingHook_, options);
}

void ExportController::cancel() {
    for (const auto& job : jobs_) {
        job->cancel.store(true, std::memory_order_relaxed);
    }
}

void ExportController::tick() {
    if (jobs_.empty()) {
        return;
    }
    const double written = jobs_.back()->written.load(std::memory_order_relaxed);
    if (written != progress()) {
        progress_.set(written);
    }
}

void ExportController::finish(const ExportTask::Progress* job, ExportTask::Outcome outcome,
                              const QString& path, const QString& message) {
    std::erase_if(jobs_, [job](const auto& j) { return j.get() == job; });
    if (jobs_.empty()) {
        isExporting_.set(false);
    }
    if (outcome == ExportTask::Outcome::failed) {
        notices_.showError(Notices::Origin::exporting, message);
    } else if (outcome == ExportTask::Outcome::saved) {
        // A normalised export that missed its loudness says why beside the file's name.
        notices_.setSaved(path, message);
    }
}

} // namespace taln
