#include "model/export_task.h"

#include "audio/loudness.h"
#include "audio/video_exporter.h"
#include "model/background_work.h"
#include "model/exception_text.h"
#include "model/file_vetting.h"
#include "model/worker_link.h"

#include <optional>
#include <utility>

namespace taln::ExportTask {

QString suggestedName(const QString& fileName, AudioExporter::Kind kind) {
    QString base = QStringLiteral("Audio");
    if (!fileName.isNull()) {
        // The last extension only ("take.2.wav" -> "take.2"); a leading dot starts a hidden
        // name, not an extension.
        const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
        base = dot > 0 ? fileName.left(dot) : fileName;
    }
    const QString extension = kind == AudioExporter::Kind::wav    ? QStringLiteral("wav")
                              : kind == AudioExporter::Kind::flac ? QStringLiteral("flac")
                                                                  : QStringLiteral("m4a");
    return base + QStringLiteral(" (Taln).") + extension;
}

QString suggestedVideoName(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0) {
        return fileName + QStringLiteral(" (Taln)");
    }
    return fileName.left(dot) + QStringLiteral(" (Taln)") + fileName.mid(dot);
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
            // Straight from the chunks: no copy of the audio, normalised or not.
            std::optional<double> loudness;
            if (options.normaliseLoudness) {
                loudness = Loudness::kDefaultTarget;
            }
            const AudioExporter::Written written =
                options.videoSource.isEmpty()
                    ? AudioExporter::write(snapshot, options.format, kind, file, {false, loudness},
                                           control)
                    : VideoExporter::write(snapshot, options.format, toPath(options.videoSource),
                                           file, {options.keepOriginalAudio, loudness}, control);
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
