#include "model/export_task.h"

#include "model/background_work.h"
#include "model/exception_text.h"
#include "model/file_vetting.h"
#include "model/worker_link.h"

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
    const QString extension =
        kind == AudioExporter::Kind::wav ? QStringLiteral("wav") : QStringLiteral("m4a");
    return base + QStringLiteral(" (Taln).") + extension;
}

void start(const std::shared_ptr<WorkerLink>& link, ChunkedAudio snapshot, AudioExporter::Kind kind,
           const QString& path, std::function<void(const QString& message)> failed) {
    BackgroundWork::start([link, snapshot = std::move(snapshot), kind, file = toPath(path),
                           failed = std::move(failed)] {
        try {
            AudioExporter::writeChunks(snapshot, kSampleRate, kind, file);
        } catch (...) {
            link->post([failed, message = QStringLiteral("Export failed: ") +
                                          describeCurrentException()] { failed(message); });
        }
    });
}

} // namespace taln::ExportTask
