#pragma once

// CleanedTrack: TalnModel's cleaned audio as the cleaning replaces it, piece by piece, with what
// the views follow: `cleanPeaks`, `isProcessing`, the stretches not yet replaced, and what the
// hum notches remove (`humLabel`, worded by Wording::humRemoved from the engine's mask).
//
// Every clean() supersedes the cleaning before it (CleaningScheduler); each piece it hands over
// replaces its chunks of the track, is heard from the next output buffer (Transport) and patches
// its part of `cleanPeaks`; the chunks replaced are retired (RetiredAudio). A cleaning that
// fails shows its reason as the error; the earlier result stays, unless pieces of this one
// already replaced part of it (a mix of two strengths is not exported: `isProcessing` stays
// true until the next strength change cleans again).
//
// Once a cleaning ends and the track stands still, its loudness is measured in the background
// (TrackLoudness) and kept until the track changes again, for normalised exports.
//
// Main thread only; the cleaning itself runs on the scheduler's pool.

#include "audio/audio_format.h"
#include "audio/channels.h"
#include "audio/chunked_audio.h"
#include "audio/loudness.h"
#include "model/cleaning_scheduler.h"
#include "model/noise_choice.h"
#include "model/peak.h"
#include "model/published.h"
#include "model/track_loudness.h"

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace taln {

class Notices;
class RetiredAudio;
class TalnModel;
class Transport;
class WorkerLink;

class CleanedTrack {
public:
    // `original` is the model's decoded original, which the track's chunks may point into;
    // `finishedHook` is read at each cleaning's start (WorkerHooks::cleaningFinished),
    // `measuredHook` at each loudness measurement's (WorkerHooks::loudnessMeasured).
    CleanedTrack(TalnModel& model, std::shared_ptr<WorkerLink> link, RetiredAudio& retired,
                 const std::function<void()>& finishedHook,
                 const std::function<void()>& measuredHook, const Channels& original,
                 Transport& transport, Notices& notices);

    const ChunkedAudio& audio() const { return audio_; }
    const std::vector<Peak>& peaks() const { return peaks_.get(); }
    bool isProcessing() const { return isProcessing_.get(); }
    const QString& humLabel() const { return humLabel_.get(); }
    // The loudness of audio() as it is now, once measured; null until then.
    std::shared_ptr<const Loudness::Measurement> loudness() const {
        return loudness_.measurement();
    }
    // The stretches the cleaning in progress has not replaced yet (see TalnModel).
    std::vector<NoiseChoice::Stretch> pending() const;

    // The file goes: its buffers are retired, but for those of the original (retired with it).
    void retire();
    // A new file: the track is its original's own chunks, and its waveform the original's,
    // until the first cleaning hands over its pieces. Assigns `cleanPeaks`.
    void startFile(const ChunkedAudio& original);
    void setPeaks(std::vector<Peak> peaks);

    // Cleans the original (in `format`) with `noise` (one sample per channel, their hum lines
    // `hum`) at `percent` strength after `delay` seconds, superseding every earlier cleaning.
    // Assigns `humLabel`, then `isProcessing` (true).
    void clean(const AudioFormat& format, std::shared_ptr<const std::vector<NoiseSample>> noise,
               Cleaner::HumMask hum, double percent, double delay);
    // Stops the cleaning in progress; it hands over nothing more.
    void cancel();
    // Whether the latest cleaning was cancelled (and none scheduled since).
    bool cancelled() const;

private:
    void publish(const CleaningRun::Piece& piece);
    void complete();
    void fail(const QString& message, bool published);
    void endPending();

    TalnModel& model_;
    RetiredAudio& retired_;
    const Channels& original_;
    Transport& transport_;
    Notices& notices_;
    ChunkedAudio audio_;
    Published<TalnModel, std::vector<Peak>> peaks_;
    Published<TalnModel, bool> isProcessing_;
    Published<TalnModel, QString> humLabel_;
    // Per chunk of the track: replaced by the cleaning in progress, or still to come. Empty
    // while no cleaning runs.
    std::vector<bool> chunkCleaned_;
    AudioFormat format_; // the latest cleaning's
    TrackLoudness loudness_;
    CleaningScheduler scheduler_; // last: its callbacks use the members above
};

} // namespace taln
