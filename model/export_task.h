#pragma once

// ExportTask: the background part of an export and the name the save panel suggests.
//
// Threads: `start` on the main thread; the writing runs on a worker of its own, receives only
// values (the snapshot, the kind, the path) and reports a failure back through the link.
// Several exports may be writing at the same time.

#include "audio/audio_exporter.h"
#include "audio/chunked_audio.h"

#include <QString>
#include <functional>
#include <memory>

namespace taln {

class WorkerLink;

namespace ExportTask {

// `fileName` without its last extension (a leading dot starts a hidden name, not an
// extension), then " (Taln)." and the kind's extension ("memo.m4a" -> "memo (Taln).wav");
// "Audio" stands in for a null file name.
QString suggestedName(const QString& fileName, AudioExporter::Kind kind);

// Writes `snapshot` (chunks shared with the cleaned track, never copied) at 44,100 Hz as `kind` to
// `path` in the background. On failure, `failed("Export failed: " + the reason)` runs on the main
// thread, through `link`; success reports nothing.
void start(const std::shared_ptr<WorkerLink>& link, ChunkedAudio snapshot, AudioExporter::Kind kind,
           const QString& path, std::function<void(const QString& message)> failed);

} // namespace ExportTask
} // namespace taln
