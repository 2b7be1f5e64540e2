#include "model/cleaned_track.h"

#include "audio/wording.h"
#include "engine/hum_detector.h"
#include "engine/strength.h"
#include "model/notices.h"
#include "model/retired_audio.h"
#include "model/taln_model.h"
#include "model/transport.h"
#include "model/waveform_peaks.h"

#include <algorithm>
#include <utility>

namespace taln {

CleanedTrack::CleanedTrack(TalnModel& model, std::shared_ptr<WorkerLink> link,
                           RetiredAudio& retired, const std::function<void()>& finishedHook,
                           const std::function<void()>& measuredHook, const Channels& original,
                           Transport& transport, Notices& notices)
    : model_(model), retired_(retired), original_(original), transport_(transport),
      notices_(notices), peaks_(model, &TalnModel::cleanPeaksChanged),
      isProcessing_(model, &TalnModel::isProcessingChanged),
      humLabel_(model, &TalnModel::humLabelChanged), loudness_(link, measuredHook),
      scheduler_(
          std::move(link), retired, finishedHook, [this] { return transport_.listenerFrame(); },
          [this](const CleaningRun::Piece& piece) { publish(piece); }, [this] { complete(); },
          [this](const QString& message, bool published) { fail(message, published); }) {}

std::vector<NoiseChoice::Stretch> CleanedTrack::pending() const {
    std::vector<NoiseChoice::Stretch> pending;
    const std::int64_t frames = audio_.frameCount();
    for (std::size_t c = 0; c < chunkCleaned_.size(); ++c) {
        if (chunkCleaned_[c]) {
            continue;
        }
        const std::int64_t first = ChunkedAudio::chunkStart(static_cast<std::int64_t>(c));
        const std::int64_t last = std::min(frames, first + kChunkFrames);
        if (!pending.empty() && pending.back().last == first) {
            pending.back().last = last;
        } else {
            pending.push_back({first, last});
        }
    }
    return pending;
}

void CleanedTrack::retire() {
    loudness_.drop();
    retired_.retire(audio_, 0, audio_.chunkCount(), original_);
}

void CleanedTrack::startFile(const ChunkedAudio& original) {
    loudness_.drop();
    audio_ = original;
}

void CleanedTrack::setPeaks(std::vector<Peak> peaks) {
    peaks_.set(std::move(peaks));
}

void CleanedTrack::clean(const AudioFormat& format,
                         std::shared_ptr<const std::vector<NoiseSample>> noise,
                         Cleaner::HumMask hum, double percent, double delay) {
    const float strength = Strength::fromPercent(percent);
    // The notches are part of the pre-filter only above this strength.
    humLabel_.set(Strength::notchesOn(strength)
                      ? QString::fromStdString(Wording::humRemoved(HumDetector::mainsHz(hum)))
                      : QString());
    loudness_.drop();
    format_ = format;
    scheduler_.schedule(original_, format, std::move(noise), strength, delay);
    chunkCleaned_.assign(static_cast<std::size_t>(audio_.chunkCount()), false);
    emit model_.pendingCleaningChanged();
    isProcessing_.set(true);
}

void CleanedTrack::cancel() {
    scheduler_.cancel();
}

bool CleanedTrack::cancelled() const {
    return scheduler_.cancelled();
}

void CleanedTrack::publish(const CleaningRun::Piece& piece) {
    const std::int64_t last =
        piece.firstChunk + ChunkedAudio::chunksFor(frameCount(piece.channels));
    // The chunks replaced are freed on a worker once the player and any export let go of them.
    retired_.retire(audio_, piece.firstChunk, last, original_);
    loudness_.drop();
    audio_ = audio_.withPiece(piece.firstChunk, piece.channels);
    // The player hears it from its next buffer when playing; a later start plays it otherwise.
    transport_.replaceClean(audio_);

    const std::int64_t from = ChunkedAudio::chunkStart(piece.firstChunk);
    const std::int64_t to = std::min(audio_.frameCount(), ChunkedAudio::chunkStart(last));
    std::vector<Peak> peaks = peaks_.get();
    WaveformPeaks::patch(peaks, audio_, from, to, piece.firstBucket, piece.peaks);
    peaks_.set(std::move(peaks));

    const auto chunks = static_cast<std::int64_t>(chunkCleaned_.size());
    std::fill(chunkCleaned_.begin() + std::min(piece.firstChunk, chunks),
              chunkCleaned_.begin() + std::min(last, chunks), true);
    emit model_.pendingCleaningChanged();
    emit model_.cleanedReplaced(from, to);
}

void CleanedTrack::complete() {
    endPending();
}

void CleanedTrack::fail(const QString& message, bool published) {
    notices_.showError(Notices::Origin::cleaning, message);
    if (!published) {
        endPending();
    }
}

void CleanedTrack::endPending() {
    // The track stands still until the next cleaning: what a normalised export will measure.
    loudness_.measure(audio_, format_);
    chunkCleaned_.clear();
    emit model_.pendingCleaningChanged();
    isProcessing_.set(false);
}

} // namespace taln
