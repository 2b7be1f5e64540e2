#include "model/export_task.h"

#include "audio/loudness.h"
#include "audio/output_names.h"
#include "audio/video_exporter.h"
#include "model/background_work.h"
#include "model/exception_text.h"
#include "model/file_path.h"
#include "model/worker_link.h"

#include <optional>
#include <utility>

namespace taln::ExportTask {

QString suggestedName(const QString& fileName, AudioExporter::Kind kind) {
    return QString::fromStdString(OutputNames::cleanedAudioName(fileName.toStdString(), kind));
}

QString suggestedVideoName(const QString& fileName) {
    return QString::fromStdString(OutputNames::cleanedVideoName(fileName.toStdString()));
}

AudioExporter::Written write(const ChunkedAudio& snapshot, AudioExporter::Kind kind,
                             const std::filesystem::path& path, const Options& options,
                             const WriteControl& control) {
    // Straight from the chunks: no copy of the audio, normalised or not.
    std::optional<double> loudness;
    const Loudness::Measurement* measured = nullptr;
    if (options.normaliseLoudness) {
        loudness = Loudness::kDefaultTarget;
        measured = options.measured.get();
    }
    return options.videoSource.isEmpty()
               ? AudioExporter::write(snapshot, options.format, kind, path,
                                      {false, loudness, measured}, control)
               : VideoExporter::write(snapshot, options.format, toPath(options.videoSource), path,
                                      {options.keepOriginalAudio, loudness, measured}, control);
}

void start(const std::shared_ptr<WorkerLink>& link, ChunkedAudio snapshot, AudioExporter::Kind kind,
           const QString& path, std::shared_ptr<Progress> progress,
           std::function<void(Outcome outcome, const QString& message)> finished,
           std::function<void()> starting, const Options& options) {
    BackgroundWork::start([link, snapshot = std::move(snapshot), kind, file = toPath(path),
                           progress = std::move(progress), finished = std::move(finished),
                           starting = std::move(starting), options] {
        if (starting) {
            starting();
        }
        Outcome outcome = Outcome::saved;
        QString message;
        try {
            AudioExporter::WriteControl control;
            control.cancel = &progress->cancel;
            control.progress = &progress->written;
            const AudioExporter::Written written = write(snapshot, kind, file, options, control);
            if (written.loudness) {
                message = QString::fromStdString(Loudness::describe(*written.loudness));
            }
        } catch (const AudioExporter::WriteCancelled&) {
            outcome = Outcome::cancelled;
        } catch (...) {
            outcome = Outcome::failed;
            message = QStringLiteral("Export failed: ") + describeCurrentException();
        }
        link->post([finished, outcome, message] { finished(outcome, message); });
    });
}

} // namespace taln::ExportTask
