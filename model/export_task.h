#pragma once

// ExportTask: the background part of an export and the name the save panel suggests.
//
// Threads: `start` on the main thread; the writing runs on a worker of its own, receives only
// values (the snapshot, the kind, the path) and reports how it ended back through the link.
// Several exports may be writing at the same time.

#include "audio/audio_exporter.h"
#include "audio/audio_format.h"
#include "audio/chunked_audio.h"
#include "audio/loudness.h"
#include "audio/write_control.h"

#include <QString>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>

namespace taln {

class WorkerLink;

namespace ExportTask {

// `fileName` without its last extension (a leading dot starts a hidden name, not an
// extension), then " (Taln)." and the kind's extension ("memo.m4a" -> "memo (Taln).wav");
// "Audio" stands in for a null file name.
QString suggestedName(const QString& fileName, AudioExporter::Kind kind);

// `fileName` without its last extension, then " (Taln)" and `fileName`'s own extension: the
// video export keeps the source's container ("talk.mov" -> "talk (Taln).mov").
QString suggestedVideoName(const QString& fileName);

// What to write besides the snapshot.
struct Options {
    // The snapshot's rate and layout, and the source's depth: what the file keeps.
    AudioFormat format;
    // Normalised to -16 LUFS integrated, the true peak under -1 dBTP, while writing.
    bool normaliseLoudness = false;
    // Not empty: write this video file again with its first audio stream replaced by the
    // snapshot; `kind` is then ignored.
    QString videoSource;
    // With a video: the source's own sound kept as a second track, "Original".
    bool keepOriginalAudio = false;
    // With `normaliseLoudness`: the snapshot's loudness, measured before (TrackLoudness); null,
    // the export measures it first (a pass over the snapshot, with its share of the progress).
    std::shared_ptr<const Loudness::Measurement> measured;
};

// Shared between the model and one export's worker: how far it got, and the user's stop.
struct Progress {
    std::atomic<bool> cancel{false};
    std::atomic<float> written{0.0f}; // the share of the frames written, 0 ... 1
};

// How an export ended.
enum class Outcome { saved, cancelled, failed };

// Writes `snapshot` as `kind` to `path` on the calling thread, as start()'s worker does:
// AudioExporter::write, or VideoExporter::write with `options.videoSource`. Throws as they do.
AudioExporter::Written write(const ChunkedAudio& snapshot, AudioExporter::Kind kind,
                             const std::filesystem::path& path, const Options& options,
                             const WriteControl& control);

// Writes `snapshot` (chunks shared with the cleaned track, read where they lie) in
// `options.format` as `kind` to `path` in the background, reporting into `progress` and
// stopping once its cancel flag is set (nothing written, any earlier file at `path` intact).
// `finished(outcome, message)` runs on the main thread, through `link`; the message is
// "Export failed: " + the reason for a failure, why a normalised export missed its loudness
// (Loudness::describe) for a saved one, empty otherwise. `starting`, unless empty, runs on the
// worker just before the writing begins (a test's hold).
void start(const std::shared_ptr<WorkerLink>& link, ChunkedAudio snapshot, AudioExporter::Kind kind,
           const QString& path, std::shared_ptr<Progress> progress,
           std::function<void(Outcome outcome, const QString& message)> finished,
           std::function<void()> starting = {}, const Options& options = {});

} // namespace ExportTask
} // namespace taln
