#include "model/taln_model.h"

#include "audio/player.h"
#include "engine/cleaner.h"
#include "engine/hum_detector.h"
#include "engine/real_fft.h"
#include "engine/strength.h"
#include "model/background_work.h"
#include "model/cleaning_run.h"
#include "model/cleaning_scheduler.h"
#include "model/export_task.h"
#include "model/load_analysis.h"
#include "model/load_runner.h"
#include "model/retired_audio.h"
#include "model/waveform_peaks.h"
#include "model/worker_link.h"

#include <malloc.h>

#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <utility>

namespace taln {

namespace {

// The position timer follows the player 30 times a second, the rate at which the playhead
// moves; 33 ms is 1/30 s to the millisecond.
constexpr std::chrono::milliseconds kTickInterval{33};

// A strength assignment waits this long for the slider to rest before cleaning starts, so the
// engine never cleans every intermediate value of a drag.
constexpr double kStrengthDebounce = 0.15;

// Play from a position this close to the end starts from the beginning: 0.05 s is less than
// anyone could listen to.
constexpr double kEndTolerance = 0.05;

const QString kPlaybackFailed = QStringLiteral("Playback failed: ");

// What the notice says about the noise sample in use. A stretch the user chose is noise on
// their word; only the quietest frames can be doubtful.
QString noiseNoticeFor(const std::vector<NoiseSample>& noise, bool automatic) {
    return automatic && NoiseChoice::doubtful(noise) ? NoiseChoice::doubtfulNotice() : QString();
}

// Every buffer of a chunk or more (512 KiB: a cleaned piece, the engine's work for it, decoded
// audio) gets a mapping of its own, given back to the system the moment it is freed. Left to
// itself, glibc raises this threshold to the size of the largest buffer freed so far (up to
// 32 MiB), after which cleaned pieces come from the threads' arenas and stay resident when a
// new cleaning replaces them: a 10-minute file then holds 0.5 times its size more while the
// slider moves. The price is a page fault per 4 KiB of each new buffer, small beside cleaning
// the same audio.
constexpr int kOwnMappingBytes = static_cast<int>(kChunkFrames * sizeof(float));

// Seconds to a frame index at `rate`: t × rate, truncated toward zero.
std::int64_t toFrame(double seconds, double rate) {
    return static_cast<std::int64_t>(seconds * rate);
}

} // namespace

struct TalnModel::Impl {
    Impl(TalnModel* model, std::unique_ptr<FilePanels> p, std::unique_ptr<AudioOutput> output)
        : panels(std::move(p)), player(std::move(output)),
          link(std::make_shared<WorkerLink>(model)),
          loads(link, retired, model->loadFinishedHook_,
                [model](const QString& path, const LoadAnalysis::Result& result) {
                    model->finishLoad(path, result);
                }),
          cleaning(
              link, retired, model->cleaningFinishedHook_,
              [this] { return isPlaying ? player.currentFrame() : toFrame(position, rate()); },
              [model](const CleaningRun::Piece& piece) { model->publishPiece(piece); },
              [model] { model->completeCleaning(); },
              [model](const QString& message, bool published) {
                  model->failCleaning(message, published);
              }) {}

    std::unique_ptr<FilePanels> panels;
    Player player;

    // Published.
    QString fileName;
    bool isLoading = false;
    bool isProcessing = false;
    double strength = Strength::kDefaultPercent;
    bool isPlaying = false;
    double position = 0.0;
    double duration = 0.0;
    std::vector<Peak> origPeaks;
    std::vector<Peak> cleanPeaks;
    float peakScale = 1.0f;
    QString errorMessage;
    QString notice;
    QString humLabel;
    Listening listening = Listening::Cleaned;
    bool noiseAutomatic = true;
    std::optional<NoiseChoice::Stretch> selection;
    std::vector<NoiseChoice::Stretch> noiseRuns;
    QString filePath;
    double loadProgress = -1.0;
    bool isExporting = false;
    double exportProgress = 0.0;
    QString savedFile;
    QString loadingFileName;

    // Unpublished.
    // The notice of the load itself (a file that ends early), and the one about the noise
    // sample; `notice` joins them.
    QString loadNotice;
    QString noiseNotice;
    // "Saved <name>" after an export, until the next operation.
    QString savedNotice;
    // The samples measured at load, to go back to from a chosen stretch.
    std::shared_ptr<const LoadAnalysis::NoiseSamples> automaticNoise;
    // `orig` is the decoded buffers, `origAudio` the same as chunks; `cleaned` shares the
    // original's chunks until cleaned pieces replace them.
    Channels orig;
    // The loaded file's rate, layout and depth: what its exports keep.
    AudioFormat format;
    double rate() const { return static_cast<double>(format.sampleRate); }
    ChunkedAudio origAudio;
    ChunkedAudio cleaned;
    std::shared_ptr<const LoadAnalysis::NoiseSamples> noise =
        std::make_shared<const LoadAnalysis::NoiseSamples>();

    QTimer positionTimer;

    // Where the loaded file lies, and where the latest export was written (empty before the
    // first); the save panel opens in the latter, else in the former.
    QString fileFolder;
    bool hasVideo = false;
    bool normaliseLoudness = false;
    bool keepOriginalAudio = false;
    QString lastExportFolder;
    // The exports still writing, oldest first; the last one's progress is published.
    std::vector<std::shared_ptr<ExportTask::Progress>> exports;

    // Per chunk of the cleaned track: replaced by the cleaning in progress, or still to come.
    // Empty while no cleaning runs.
    std::vector<bool> chunkCleaned;

    std::shared_ptr<WorkerLink> link;
    // Channel buffers the model let go of, freed once nobody else holds them.
    RetiredAudio retired;
    LoadRunner loads;
    CleaningScheduler cleaning;
};

TalnModel::TalnModel(std::unique_ptr<FilePanels> panels, std::unique_ptr<AudioOutput> output,
                     QObject* parent)
    : QObject(parent), impl_(std::make_unique<Impl>(this, std::move(panels), std::move(output))) {
    Impl& d = *impl_;
    d.positionTimer.setTimerType(Qt::PreciseTimer);
    d.positionTimer.setInterval(kTickInterval);
    connect(&d.positionTimer, &QTimer::timeout, this, [this] { tick(); });
    d.positionTimer.start();
    static const bool ownMappings = mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes) == 1;
    (void)ownMappings; // where refused, the memory is only held longer
    // Measured FFT plans come from the wisdom file shared with taln-clean, or are measured
    // (a core for 0.3 to 0.6 s, once per machine): done now, that delays no cleaning (the
    // first needs a file, which takes longer than that to read).
    BackgroundWork::start([] {
        RealFFT::prepare(Cleaner::kFrameLength, RealFFT::Planning::measured, RealFFT::wisdomFile());
    });
}

TalnModel::~TalnModel() {
    impl_->link->close();
    // Nobody will take the results: let a running load and cleaning stop at their next poll.
    impl_->loads.cancel();
    impl_->cleaning.cancel();
}

void TalnModel::runPosted() {
    if (auto fn = impl_->link->take()) {
        fn();
    }
}

QString TalnModel::fileName() const {
    return impl_->fileName;
}
bool TalnModel::isLoading() const {
    return impl_->isLoading;
}
bool TalnModel::isProcessing() const {
    return impl_->isProcessing;
}
double TalnModel::strength() const {
    return impl_->strength;
}
bool TalnModel::hearOriginal() const {
    return impl_->listening == Listening::Original;
}
TalnModel::Listening TalnModel::listening() const {
    return impl_->listening;
}
bool TalnModel::noiseAutomatic() const {
    return impl_->noiseAutomatic;
}
bool TalnModel::hasSelection() const {
    return impl_->selection.has_value();
}
NoiseChoice::Stretch TalnModel::selection() const {
    return impl_->selection.value_or(NoiseChoice::Stretch{});
}
const std::vector<NoiseChoice::Stretch>& TalnModel::noiseRuns() const {
    return impl_->noiseRuns;
}
bool TalnModel::isPlaying() const {
    return impl_->isPlaying;
}
double TalnModel::position() const {
    return impl_->position;
}
double TalnModel::duration() const {
    return impl_->duration;
}
const std::vector<Peak>& TalnModel::origPeaks() const {
    return impl_->origPeaks;
}
const std::vector<Peak>& TalnModel::cleanPeaks() const {
    return impl_->cleanPeaks;
}
float TalnModel::peakScale() const {
    return impl_->peakScale;
}
QString TalnModel::errorMessage() const {
    return impl_->errorMessage;
}
QString TalnModel::notice() const {
    return impl_->notice;
}
QString TalnModel::humLabel() const {
    return impl_->humLabel;
}
bool TalnModel::hasVideo() const {
    return impl_->hasVideo;
}
bool TalnModel::normaliseLoudness() const {
    return impl_->normaliseLoudness;
}
void TalnModel::setNormaliseLoudness(bool normalise) {
    impl_->normaliseLoudness = normalise;
    emit normaliseLoudnessChanged();
}
bool TalnModel::keepOriginalAudio() const {
    return impl_->keepOriginalAudio;
}
void TalnModel::setKeepOriginalAudio(bool keep) {
    impl_->keepOriginalAudio = keep;
    emit keepOriginalAudioChanged();
}
QString TalnModel::filePath() const {
    return impl_->filePath;
}
double TalnModel::loadProgress() const {
    return impl_->loadProgress;
}
bool TalnModel::isExporting() const {
    return impl_->isExporting;
}
double TalnModel::exportProgress() const {
    return impl_->exportProgress;
}
QString TalnModel::savedFile() const {
    return impl_->savedFile;
}
QString TalnModel::loadingFileName() const {
    return impl_->loadingFileName;
}
const ChunkedAudio& TalnModel::originalAudio() const {
    return impl_->origAudio;
}
std::vector<NoiseChoice::Stretch> TalnModel::pendingCleaning() const {
    const Impl& d = *impl_;
    std::vector<NoiseChoice::Stretch> pending;
    const std::int64_t frames = d.cleaned.frameCount();
    for (std::size_t c = 0; c < d.chunkCleaned.size(); ++c) {
        if (d.chunkCleaned[c]) {
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
const Channels& TalnModel::orig() const {
    return impl_->orig;
}
const AudioFormat& TalnModel::format() const {
    return impl_->format;
}
double TalnModel::sampleRate() const {
    return impl_->rate();
}
const ChunkedAudio& TalnModel::cleanedAudio() const {
    return impl_->cleaned;
}
Channels TalnModel::cleaned() const {
    return impl_->cleaned.toChannels();
}
std::uint64_t TalnModel::cleanVersionsHeard() const {
    return impl_->player.cleanVersionsTakenUp();
}

// Published fields: store, then announce, on every assignment.
void TalnModel::assignFileName(const QString& value) {
    impl_->fileName = value;
    emit fileNameChanged();
}
void TalnModel::assignIsLoading(bool value) {
    impl_->isLoading = value;
    emit isLoadingChanged();
}
void TalnModel::assignIsProcessing(bool value) {
    impl_->isProcessing = value;
    emit isProcessingChanged();
}
void TalnModel::assignIsPlaying(bool value) {
    impl_->isPlaying = value;
    emit isPlayingChanged();
}
void TalnModel::assignPosition(double value) {
    impl_->position = value;
    emit positionChanged();
}
void TalnModel::assignDuration(double value) {
    impl_->duration = value;
    emit durationChanged();
}
void TalnModel::assignOrigPeaks(std::vector<Peak> value) {
    impl_->origPeaks = std::move(value);
    emit origPeaksChanged();
}
void TalnModel::assignCleanPeaks(std::vector<Peak> value) {
    impl_->cleanPeaks = std::move(value);
    emit cleanPeaksChanged();
}
void TalnModel::assignPeakScale(float value) {
    impl_->peakScale = value;
    emit peakScaleChanged();
}
void TalnModel::assignNotice(const QString& value) {
    impl_->notice = value;
    emit noticeChanged();
}
void TalnModel::assignHasVideo(bool value) {
    impl_->hasVideo = value;
    emit hasVideoChanged();
}
void TalnModel::assignHumLabel(const QString& value) {
    impl_->humLabel = value;
    emit humLabelChanged();
}
void TalnModel::assignLoadProgress(double value) {
    impl_->loadProgress = value;
    emit loadProgressChanged();
}
void TalnModel::assignIsExporting(bool value) {
    impl_->isExporting = value;
    emit isExportingChanged();
}
void TalnModel::assignExportProgress(double value) {
    impl_->exportProgress = value;
    emit exportProgressChanged();
}
void TalnModel::assignSavedFile(const QString& value) {
    impl_->savedFile = value;
    emit savedFileChanged();
}
void TalnModel::dismissSaved() {
    if (impl_->savedFile.isNull()) {
        return;
    }
    assignSavedFile(QString());
    impl_->savedNotice.clear();
    refreshNotice();
}
void TalnModel::assignErrorMessage(const QString& value) {
    impl_->errorMessage = value;
    emit errorMessageChanged();
}

// ---- Loading -------------------------------------------------------------------------------

void TalnModel::load(const QString& path) {
    Impl& d = *impl_;
    d.player.stop();
    assignIsPlaying(false);
    // The job and its token stay in place until the installation schedules the next one.
    d.cleaning.cancel();
    d.loadingFileName = QFileInfo(path).fileName();
    assignIsLoading(true);
    assignLoadProgress(-1.0);
    assignErrorMessage(QString());
    d.loadNotice.clear();
    d.noiseNotice.clear();
    dismissSaved();
    refreshNotice();

    d.loads.start(path);
}

void TalnModel::cancelLoad() {
    Impl& d = *impl_;
    if (!d.isLoading) {
        return;
    }
    d.loads.abandon();
    d.loadingFileName.clear();
    assignIsLoading(false);
    assignLoadProgress(-1.0);
    // The load cancelled the cleaning of the file still loaded: start it again.
    if (!d.orig.empty() && d.isProcessing && d.cleaning.cancelled()) {
        runProcessing(0.0);
    }
}

void TalnModel::finishLoad(const QString& path, const LoadAnalysis::Result& result) {
    Impl& d = *impl_;
    assignLoadProgress(-1.0);
    d.loadingFileName.clear();
    if (result.failed) {
        assignIsLoading(false);
        assignErrorMessage(result.error);
        // This load cancelled the cleaning of the file still loaded; without a new job
        // `isProcessing` would stay true and Export disabled for good.
        if (!d.orig.empty() && d.isProcessing && d.cleaning.cancelled()) {
            runProcessing(0.0);
        }
        return;
    }

    // A play pressed while the file was read played the earlier file; the new one starts
    // stopped, from its beginning (the player's load below stops the output).
    if (d.isPlaying) {
        assignIsPlaying(false);
    }
    d.retired.retire(d.cleaned, 0, d.cleaned.chunkCount(), d.orig);
    d.retired.retire(d.orig);
    const QFileInfo file(path);
    d.fileFolder = file.absolutePath();
    d.filePath = file.absoluteFilePath();
    assignHasVideo(result.hasVideo);
    d.orig = result.channels;
    d.format = result.format;
    d.origAudio = ChunkedAudio::fromChannels(d.orig);
    d.cleaned = d.origAudio;
    d.loadNotice = result.notice;
    d.automaticNoise = result.noise;
    clearSelection();
    installNoise(result.noise, true);
    assignDuration(static_cast<double>(frameCount(d.orig)) / d.rate());
    assignPosition(0.0);
    assignFileName(file.fileName());
    assignOrigPeaks(*result.peaks);
    assignCleanPeaks(d.origPeaks);
    assignPeakScale(result.peakScale);
    d.player.load(d.origAudio, d.cleaned, d.rate(), d.format.channelMask);
    d.player.setListening(static_cast<Player::Listening>(d.listening));
    assignIsLoading(false);
    runProcessing(0.0);
}

void TalnModel::openPanel() {
    dismissSaved();
    if (!impl_->panels) {
        return;
    }
    if (auto path = impl_->panels->chooseFileToOpen()) {
        load(*path);
    }
}

// ---- Processing ----------------------------------------------------------------------------

void TalnModel::setStrength(double strength) {
    dismissSaved();
    impl_->strength = strength;
    emit strengthChanged();
    if (!impl_->orig.empty()) {
        runProcessing(kStrengthDebounce);
    }
}

void TalnModel::runProcessing(double delay) {
    Impl& d = *impl_;
    const float strength = Strength::fromPercent(d.strength);
    Cleaner::HumMask hum = Cleaner::kNoHum;
    for (const NoiseSample& sample : *d.noise) {
        hum |= sample.hum;
    }
    // The notches are part of the pre-filter only above this strength.
    const bool notching = Strength::notchesOn(strength);
    assignHumLabel(notching ? QString::fromStdString(HumDetector::label(hum)) : QString());
    d.cleaning.schedule(d.orig, d.format, d.noise, strength, delay);
    d.chunkCleaned.assign(static_cast<std::size_t>(d.cleaned.chunkCount()), false);
    emit pendingCleaningChanged();
    assignIsProcessing(true);
}

void TalnModel::publishPiece(const CleaningRun::Piece& piece) {
    Impl& d = *impl_;
    const std::int64_t last =
        piece.firstChunk + ChunkedAudio::chunksFor(frameCount(piece.channels));
    // The chunks replaced are freed on a worker once the player and any export let go of them.
    d.retired.retire(d.cleaned, piece.firstChunk, last, d.orig);
    d.cleaned = d.cleaned.withPiece(piece.firstChunk, piece.channels);
    // The player hears it from its next buffer when playing; a later start plays it otherwise.
    d.player.replaceClean(d.cleaned);

    std::vector<Peak> peaks = d.cleanPeaks;
    WaveformPeaks::patch(peaks, d.cleaned, ChunkedAudio::chunkStart(piece.firstChunk),
                         std::min(d.cleaned.frameCount(), ChunkedAudio::chunkStart(last)),
                         piece.firstBucket, piece.peaks);
    assignCleanPeaks(std::move(peaks));

    const auto cleanedChunks = static_cast<std::int64_t>(d.chunkCleaned.size());
    std::fill(d.chunkCleaned.begin() + std::min(piece.firstChunk, cleanedChunks),
              d.chunkCleaned.begin() + std::min(last, cleanedChunks), true);
    emit pendingCleaningChanged();
    emit cleanedReplaced(ChunkedAudio::chunkStart(piece.firstChunk),
                         std::min(d.cleaned.frameCount(), ChunkedAudio::chunkStart(last)));
}

void TalnModel::completeCleaning() {
    impl_->chunkCleaned.clear();
    emit pendingCleaningChanged();
    assignIsProcessing(false);
}

void TalnModel::failCleaning(const QString& message, bool published) {
    assignErrorMessage(message);
    // The earlier result stays audible and exportable, unless pieces of this job already
    // replaced part of it: a mix of two strengths is not exported, and the next strength
    // change cleans again.
    if (!published) {
        impl_->chunkCleaned.clear();
        emit pendingCleaningChanged();
        assignIsProcessing(false);
    }
}

// ---- Transport -----------------------------------------------------------------------------

bool TalnModel::startPlayer(std::int64_t frame) {
    if (auto failure = impl_->player.start(frame)) {
        assignErrorMessage(kPlaybackFailed + QString::fromStdString(*failure));
        return false;
    }
    // The output works again: an earlier failure to start it is no longer true.
    if (impl_->errorMessage.startsWith(kPlaybackFailed)) {
        assignErrorMessage(QString());
    }
    return true;
}

void TalnModel::reachEnd() {
    impl_->player.stop();
    assignIsPlaying(false);
    assignPosition(0.0);
}

void TalnModel::togglePlay() {
    Impl& d = *impl_;
    dismissSaved();
    if (d.orig.empty()) {
        return;
    }
    if (d.isPlaying) {
        assignPosition(d.player.currentTime());
        d.player.stop();
        assignIsPlaying(false);
        return;
    }
    if (d.position >= d.duration - kEndTolerance) {
        assignPosition(0.0);
    }
    if (startPlayer(toFrame(d.position, d.rate()))) {
        assignIsPlaying(true);
    }
}

void TalnModel::seek(double fraction) {
    Impl& d = *impl_;
    dismissSaved();
    if (d.orig.empty() || std::isnan(fraction)) {
        return;
    }
    const double c = fraction <= 0.0 ? 0.0 : (fraction > 1.0 ? 1.0 : fraction);
    assignPosition(c * d.duration);
    if (!d.isPlaying) {
        return;
    }
    const std::int64_t frame = toFrame(d.position, d.rate());
    // At the very end there is nothing left to play: end playback as the tick would.
    if (c >= 1.0 || frame >= frameCount(d.orig)) {
        reachEnd();
    } else if (!startPlayer(frame)) {
        d.player.stop();
        assignIsPlaying(false);
    }
}

void TalnModel::skip(double seconds) {
    Impl& d = *impl_;
    if (d.orig.empty() || !(d.duration > 0.0)) {
        return;
    }
    const double now = d.isPlaying ? d.player.currentTime() : d.position;
    seek((now + seconds) / d.duration);
}

void TalnModel::tick() {
    Impl& d = *impl_;
    // The tables and chunks the mixer has moved past first, so that the retired buffers they
    // held are free to go.
    d.player.releaseRetired();
    d.retired.releaseUnused();
    // Progress is published when it moves, not 30 times a second regardless.
    if (d.isLoading && static_cast<double>(d.loads.progress()) != d.loadProgress) {
        assignLoadProgress(std::max(-1.0, static_cast<double>(d.loads.progress())));
    }
    if (!d.exports.empty()) {
        const double written = d.exports.back()->written.load(std::memory_order_relaxed);
        if (written != d.exportProgress) {
            assignExportProgress(written);
        }
    }
    if (!d.isPlaying) {
        return;
    }
    const double t = d.player.currentTime();
    if (t >= d.duration) {
        reachEnd();
    } else {
        assignPosition(t);
    }
}

void TalnModel::setHearOriginal(bool hearOriginal) {
    dismissSaved();
    setListening(hearOriginal ? Listening::Original : Listening::Cleaned);
}

// The player's positions in the model's order.
static_assert(static_cast<int>(Player::Listening::cleaned) ==
                  static_cast<int>(TalnModel::Listening::Cleaned) &&
              static_cast<int>(Player::Listening::original) ==
                  static_cast<int>(TalnModel::Listening::Original) &&
              static_cast<int>(Player::Listening::removed) ==
                  static_cast<int>(TalnModel::Listening::Removed));

void TalnModel::setListening(Listening listening) {
    impl_->listening = listening;
    emit listeningChanged();
    emit hearOriginalChanged();
    impl_->player.setListening(static_cast<Player::Listening>(listening));
}

// ---- Noise sample --------------------------------------------------------------------------

void TalnModel::refreshNotice() {
    const Impl& d = *impl_;
    QStringList lines;
    for (const QString& line : {d.loadNotice, d.noiseNotice, d.savedNotice}) {
        if (!line.isEmpty()) {
            lines << line;
        }
    }
    assignNotice(lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')));
}

void TalnModel::installNoise(std::shared_ptr<const std::vector<NoiseSample>> noise,
                             bool automatic) {
    Impl& d = *impl_;
    d.noise = std::move(noise);
    d.noiseAutomatic = automatic;
    emit noiseAutomaticChanged();
    d.noiseRuns = NoiseChoice::runs(*d.noise);
    emit noiseRunsChanged();
    d.noiseNotice = noiseNoticeFor(*d.noise, automatic);
    refreshNotice();
}

void TalnModel::selectStretch(double fromFraction, double toFraction) {
    Impl& d = *impl_;
    if (d.orig.empty() || std::isnan(fromFraction) || std::isnan(toFraction)) {
        return;
    }
    const auto n = static_cast<double>(frameCount(d.orig));
    const auto at = [n](double f) {
        return static_cast<std::int64_t>(std::floor(std::clamp(f, 0.0, 1.0) * n));
    };
    assignSelection(NoiseChoice::Stretch{at(std::min(fromFraction, toFraction)),
                                         at(std::max(fromFraction, toFraction))});
}

void TalnModel::assignSelection(NoiseChoice::Stretch stretch) {
    Impl& d = *impl_;
    d.selection = stretch;
    emit selectionChanged();
    // A new selection answers an earlier refusal: back to what the sample in use calls for.
    if (d.noiseNotice == NoiseChoice::tooShortNotice()) {
        d.noiseNotice = noiseNoticeFor(*d.noise, d.noiseAutomatic);
        refreshNotice();
    }
}

std::int64_t TalnModel::playheadFrame() const {
    const Impl& d = *impl_;
    const double seconds = d.isPlaying ? d.player.currentTime() : d.position;
    return std::clamp<std::int64_t>(toFrame(seconds, d.rate()), 0, frameCount(d.orig));
}

void TalnModel::startSelectionAtPlayhead() {
    Impl& d = *impl_;
    if (d.orig.empty()) {
        return;
    }
    const std::int64_t at = playheadFrame();
    const std::int64_t last = d.selection && d.selection->last > at ? d.selection->last : at;
    assignSelection({at, last});
}

void TalnModel::endSelectionAtPlayhead() {
    Impl& d = *impl_;
    if (d.orig.empty()) {
        return;
    }
    const std::int64_t at = playheadFrame();
    const std::int64_t first = d.selection && d.selection->first < at ? d.selection->first : at;
    assignSelection({first, at});
}

void TalnModel::clearSelection() {
    impl_->selection.reset();
    emit selectionChanged();
}

void TalnModel::useSelectionAsNoise() {
    Impl& d = *impl_;
    if (d.orig.empty() || !d.selection) {
        return;
    }
    if (d.selection->last - d.selection->first < NoiseChoice::kShortestStretch) {
        d.noiseNotice = NoiseChoice::tooShortNotice();
        refreshNotice();
        return;
    }
    installNoise(std::make_shared<const std::vector<NoiseSample>>(
                     NoiseChoice::measure(d.orig, d.rate(), *d.selection)),
                 false);
    clearSelection();
    runProcessing(0.0);
}

void TalnModel::useAutomaticNoise() {
    Impl& d = *impl_;
    if (d.orig.empty() || !d.automaticNoise) {
        return;
    }
    installNoise(d.automaticNoise, true);
    runProcessing(0.0);
}

// ---- Export --------------------------------------------------------------------------------

QString TalnModel::exportName(const QString& fileName, AudioExporter::Kind kind) {
    return ExportTask::suggestedName(fileName, kind);
}

void TalnModel::exportAudio(AudioExporter::Kind kind) {
    startExport(kind, false);
}

void TalnModel::exportVideo() {
    if (impl_->hasVideo) {
        startExport(AudioExporter::Kind::m4a, true);
    }
}

void TalnModel::startExport(AudioExporter::Kind kind, bool video) {
    Impl& d = *impl_;
    // While a cleaning is pending the cleaned audio is about to change: export waits for it.
    if (d.orig.empty() || d.isProcessing || !d.panels) {
        return;
    }
    dismissSaved();
    // The panel runs the event loop while it is open, so another file may be installed
    // meanwhile: what gets written is what was there when the user asked, under its name.
    ChunkedAudio snapshot = d.cleaned;
    bool keepOriginal = d.keepOriginalAudio;
    ExportTask::Options options;
    options.format = d.format;
    options.normaliseLoudness = d.normaliseLoudness;
    options.videoSource = video ? d.filePath : QString();

    const QString folder = d.lastExportFolder.isEmpty() ? d.fileFolder : d.lastExportFolder;
    const auto destination =
        video ? d.panels->chooseVideoDestination(QFileInfo(d.filePath).suffix(),
                                                 ExportTask::suggestedVideoName(d.fileName), folder,
                                                 keepOriginal)
              : d.panels->chooseExportDestination(kind, exportName(d.fileName, kind), folder);
    if (!destination) {
        return;
    }
    if (video) {
        options.keepOriginalAudio = keepOriginal;
        if (keepOriginal != d.keepOriginalAudio) {
            setKeepOriginalAudio(keepOriginal);
        }
    }
    d.lastExportFolder = QFileInfo(*destination).absolutePath();
    auto progress = std::make_shared<ExportTask::Progress>();
    d.exports.push_back(progress);
    assignExportProgress(0.0);
    if (!d.isExporting) {
        assignIsExporting(true);
    }
    // `this` is used only on the main thread, while the link is open.
    ExportTask::start(
        d.link, std::move(snapshot), kind, *destination, progress,
        [this, job = progress.get(), path = *destination](ExportTask::Outcome outcome,
                                                          const QString& message) {
            finishExport(job, outcome, path, message);
        },
        exportStartingHook_, options);
}

void TalnModel::cancelExport() {
    for (const auto& job : impl_->exports) {
        job->cancel.store(true, std::memory_order_relaxed);
    }
}

void TalnModel::finishExport(const ExportTask::Progress* progress, ExportTask::Outcome outcome,
                             const QString& path, const QString& message) {
    Impl& d = *impl_;
    std::erase_if(d.exports, [progress](const auto& job) { return job.get() == progress; });
    if (d.exports.empty()) {
        assignIsExporting(false);
    }
    if (outcome == ExportTask::Outcome::failed) {
        assignErrorMessage(message);
    } else if (outcome == ExportTask::Outcome::saved) {
        assignSavedFile(path);
        // A normalised export that missed its loudness says why beside the file's name.
        d.savedNotice = QStringLiteral("Saved ") + QFileInfo(path).fileName();
        if (!message.isEmpty()) {
            d.savedNotice += QLatin1Char('\n') + message;
        }
        refreshNotice();
    }
}

// ---- Peaks ---------------------------------------------------------------------------------

std::vector<Peak> TalnModel::peaks(const Channels& channels, std::int64_t buckets) {
    return WaveformPeaks::peaks(channels, buckets);
}

} // namespace taln
