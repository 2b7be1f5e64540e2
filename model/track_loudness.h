#pragma once

// TrackLoudness: the cleaned track's loudness, measured in the background as soon as a cleaning
// completes, so that a normalised export plans from it at once and only writes (ExportTask).
//
// measure() runs Loudness::measure over a snapshot of the track on a worker of its own and keeps
// the result, handed back through the link, for that snapshot only: drop() (the track is about
// to change: a new cleaning, a new file) stops the measuring at its next step and forgets any
// result, and the result of a measure() superseded by another is never kept. A measuring that
// fails keeps nothing: the export then measures for itself.
// Cost: one pass over the track (0.6 s of processor time per ten minutes of stereo); memory: the
// Measurement (8 bytes per 64 frames); the snapshot holds the track's chunks until it ends.
// Main thread only; the measuring runs on BackgroundWork.

#include "audio/audio_format.h"
#include "audio/chunked_audio.h"
#include "audio/loudness.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace taln {

class WorkerLink;

class TrackLoudness {
public:
    // `measuredHook` is read at each measure() (WorkerHooks::loudnessMeasured).
    TrackLoudness(std::shared_ptr<WorkerLink> link, const std::function<void()>& measuredHook);
    // Stops a measuring still running.
    ~TrackLoudness();
    TrackLoudness(const TrackLoudness&) = delete;
    TrackLoudness& operator=(const TrackLoudness&) = delete;

    // Measures `snapshot` (in `format`'s rate and layout), superseding any earlier measure().
    void measure(ChunkedAudio snapshot, const AudioFormat& format);
    // Stops the measuring in progress and forgets the result.
    void drop();
    // The latest measure()'s result; null while it runs, after drop() or a failure.
    std::shared_ptr<const Loudness::Measurement> measurement() const { return measured_; }

private:
    std::shared_ptr<WorkerLink> link_;
    const std::function<void()>& measuredHook_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    std::uint64_t generation_ = 0; // which measure() a result belongs to
    std::shared_ptr<const Loudness::Measurement> measured_;
};

} // namespace taln
