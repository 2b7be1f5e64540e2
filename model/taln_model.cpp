#include "model/taln_model.h"

#include "model/cleaned_track.h"
#include "model/export_controller.h"
#include "model/load_analysis.h"
#include "model/load_runner.h"
#include "model/model_settings.h"
#include "model/noise_sampling.h"
#include "model/notices.h"
#include "model/published.h"
#include "model/retired_audio.h"
#include "model/transport.h"
#include "model/worker_hooks.h"
#include "model/worker_link.h"

#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

namespace taln {

namespace {

// The position timer follows the player 30 times a second, the rate at which the playhead
// moves; 33 ms is 1/30 s to the millisecond.
constexpr std::chrono::milliseconds kTickInterval{33};

// A strength assignment waits this long for the slider to rest before cleaning starts, so the
// engine never cleans every intermediate value of a drag.
constexpr double kStrengthDebounce = 0.15;

} // namespace

struct TalnModel::Impl {
    Impl(TalnModel& model, std::unique_ptr<FilePanels> p, std::unique_ptr<AudioOutput> output,
         std::shared_ptr<WorkerHooks> h)
        : hooks(h ? std::move(h) : std::make_shared<WorkerHooks>()), panels(std::move(p)),
          settings(model), notices(model), transport(model, std::move(output), notices),
          noise(model, notices), fileName(model, &TalnModel::fileNameChanged),
          isLoading(model, &TalnModel::isLoadingChanged),
          loadProgress(model, &TalnModel::loadProgressChanged, -1.0),
          hasVideo(model, &TalnModel::hasVideoChanged),
          origPeaks(model, &TalnModel::origPeaksChanged),
          peakScale(model, &TalnModel::peakScaleChanged, 1.0f),
          link(std::make_shared<WorkerLink>(&model)),
          loads(link, retired, hooks->loadFinished,
                [&model](const QString& path, const LoadAnalysis::Result& result) {
                    model.finishLoad(path, result);
                }),
          cleaned(model, link, retired, hooks->cleaningFinished, hooks->loudnessMeasured, orig,
                  transport, notices),
          exports(model, link, panels.get(), settings, notices, hooks->exportStarting) {}

    double rate() const { return static_cast<double>(format.sampleRate); }

    std::shared_ptr<WorkerHooks> hooks;
    std::unique_ptr<FilePanels> panels;
    ModelSettings settings;
    Notices notices;
    Transport transport;
    NoiseSampling noise;

    // The loaded file: null `fileName` and empty `orig` before the first.
    Published<TalnModel, QString> fileName;
    Published<TalnModel, bool> isLoading;
    Published<TalnModel, double> loadProgress;
    Published<TalnModel, bool> hasVideo;
    Published<TalnModel, std::vector<Peak>> origPeaks;
    Published<TalnModel, float> peakScale;
    // The name of the file being read, announced with `isLoading`.
    QString loadingFileName;
    QString filePath;
    // Where the loaded file lies: the save panel opens there before the first export.
    QString fileFolder;
    // The decoded buffers, and the same as chunks; the cleaned track shares these chunks until
    // cleaned pieces replace them. `format`: the rate, layout and depth every export keeps.
    Channels orig;
    AudioFormat format;
    ChunkedAudio origAudio;

    QTimer positionTimer;
    std::shared_ptr<WorkerLink> link;
    // Channel buffers the model let go of, freed once nobody else holds them.
    RetiredAudio retired;
    LoadRunner loads;
    CleanedTrack cleaned;
    ExportController exports;
};

TalnModel::TalnModel(std::unique_ptr<FilePanels> panels, std::unique_ptr<AudioOutput> output,
                     QObject* parent, std::shared_ptr<WorkerHooks> hooks)
    : QObject(parent),
      impl_(std::make_unique<Impl>(*this, std::move(panels), std::move(output), std::move(hooks))) {
    Impl& d = *impl_;
    d.positionTimer.setTimerType(Qt::PreciseTimer);
    d.positionTimer.setInterval(kTickInterval);
    connect(&d.positionTimer, &QTimer::timeout, this, [this] { tick(); });
    d.positionTimer.start();
}

TalnModel::~TalnModel() {
    impl_->link->close();
    // Nobody will take the results: let a running load and cleaning stop at their next poll.
    impl_->loads.cancel();
    impl_->cleaned.cancel();
}

void TalnModel::runPosted() {
    if (auto fn = impl_->link->take()) {
        fn();
    }
}

QString TalnModel::fileName() const {
    return impl_->fileName.get();
}
bool TalnModel::isLoading() const {
    return impl_->isLoading.get();
}
bool TalnModel::isProcessing() const {
    return impl_->cleaned.isProcessing();
}
double TalnModel::strength() const {
    return impl_->settings.strength.get();
}
bool TalnModel::hearOriginal() const {
    return impl_->transport.listening() == Listening::Original;
}
TalnModel::Listening TalnModel::listening() const {
    return impl_->transport.listening();
}
bool TalnModel::noiseAutomatic() const {
    return impl_->noise.automatic();
}
bool TalnModel::hasSelection() const {
    return impl_->noise.selection().has_value();
}
NoiseChoice::Stretch TalnModel::selection() const {
    return impl_->noise.selection().value_or(NoiseChoice::Stretch{});
}
const std::vector<NoiseChoice::Stretch>& TalnModel::noiseRuns() const {
    return impl_->noise.runs();
}
bool TalnModel::isPlaying() const {
    return impl_->transport.isPlaying();
}
double TalnModel::position() const {
    return impl_->transport.position();
}
double TalnModel::duration() const {
    return impl_->transport.duration();
}
const std::vector<Peak>& TalnModel::origPeaks() const {
    return impl_->origPeaks.get();
}
const std::vector<Peak>& TalnModel::cleanPeaks() const {
    return impl_->cleaned.peaks();
}
float TalnModel::peakScale() const {
    return impl_->peakScale.get();
}
QString TalnModel::errorMessage() const {
    return impl_->notices.errorMessage();
}
QString TalnModel::notice() const {
    return impl_->notices.notice();
}
QString TalnModel::humLabel() const {
    return impl_->cleaned.humLabel();
}
bool TalnModel::hasVideo() const {
    return impl_->hasVideo.get();
}
bool TalnModel::normaliseLoudness() const {
    return impl_->settings.normaliseLoudness.get();
}
void TalnModel::setNormaliseLoudness(bool normalise) {
    impl_->settings.normaliseLoudness.set(normalise);
}
bool TalnModel::keepOriginalAudio() const {
    return impl_->settings.keepOriginalAudio.get();
}
void TalnModel::setKeepOriginalAudio(bool keep) {
    impl_->settings.keepOriginalAudio.set(keep);
}
QString TalnModel::filePath() const {
    return impl_->filePath;
}
double TalnModel::loadProgress() const {
    return impl_->loadProgress.get();
}
bool TalnModel::isExporting() const {
    return impl_->exports.isExporting();
}
double TalnModel::exportProgress() const {
    return impl_->exports.progress();
}
QString TalnModel::savedFile() const {
    return impl_->notices.savedFile();
}
QString TalnModel::loadingFileName() const {
    return impl_->loadingFileName;
}
const ChunkedAudio& TalnModel::originalAudio() const {
    return impl_->origAudio;
}
std::vector<NoiseChoice::Stretch> TalnModel::pendingCleaning() const {
    return impl_->cleaned.pending();
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
    return impl_->cleaned.audio();
}

// ---- Loading -------------------------------------------------------------------------------

void TalnModel::load(const QString& path) {
    Impl& d = *impl_;
    d.transport.stop();
    // The job and its token stay in place until the installation schedules the next one.
    d.cleaned.cancel();
    d.loadingFileName = QFileInfo(path).fileName();
    d.isLoading.set(true);
    d.loadProgress.set(-1.0);
    d.notices.clearError();
    d.notices.startLoad();

    d.loads.start(path);
}

void TalnModel::cancelLoad() {
    Impl& d = *impl_;
    if (!d.isLoading.get()) {
        return;
    }
    d.loads.abandon();
    d.loadingFileName.clear();
    d.isLoading.set(false);
    d.loadProgress.set(-1.0);
    resumeProcessing();
}

void TalnModel::resumeProcessing() {
    // Without a new job `isProcessing` would stay true and Export disabled for good.
    if (!impl_->orig.empty() && impl_->cleaned.isProcessing() && impl_->cleaned.cancelled()) {
        runProcessing(0.0);
    }
}

void TalnModel::finishLoad(const QString& path, const LoadAnalysis::Result& result) {
    Impl& d = *impl_;
    d.loadProgress.set(-1.0);
    d.loadingFileName.clear();
    if (result.failed) {
        d.isLoading.set(false);
        d.notices.showError(Notices::Origin::load, result.error);
        resumeProcessing();
        return;
    }

    d.transport.endPlaying();
    d.cleaned.retire();
    d.retired.retire(d.orig);
    const QFileInfo file(path);
    d.fileFolder = file.absolutePath();
    d.filePath = file.absoluteFilePath();
    d.hasVideo.set(result.hasVideo);
    d.orig = result.channels;
    d.format = result.format;
    d.origAudio = ChunkedAudio::fromChannels(d.orig);
    d.cleaned.startFile(d.origAudio);
    d.notices.setLoadLines(result.notice);
    d.noise.startFile(result.noise);
    d.transport.setDuration(static_cast<double>(frameCount(d.orig)) / d.rate());
    d.fileName.set(file.fileName());
    d.origPeaks.set(*result.peaks);
    d.cleaned.setPeaks(d.origPeaks.get());
    d.peakScale.set(result.peakScale);
    d.transport.load(d.origAudio, d.cleaned.audio(), d.rate(), d.format.channelMask);
    d.isLoading.set(false);
    runProcessing(0.0);
}

void TalnModel::openPanel() {
    impl_->notices.dismissSaved();
    if (!impl_->panels) {
        return;
    }
    const QStringList paths = impl_->panels->chooseFilesToOpen();
    if (paths.size() == 1) {
        load(paths.front());
    } else if (paths.size() > 1) {
        emit batchRequested(paths);
    }
}

// ---- Processing ----------------------------------------------------------------------------

void TalnModel::setStrength(double strength) {
    impl_->notices.dismissSaved();
    impl_->settings.strength.set(strength);
    if (!impl_->orig.empty()) {
        runProcessing(kStrengthDebounce);
    }
}

void TalnModel::runProcessing(double delay) {
    Impl& d = *impl_;
    d.cleaned.clean(d.format, d.noise.samples(), d.noise.hum(), d.settings.strength.get(), delay);
}

// ---- Transport -----------------------------------------------------------------------------

void TalnModel::togglePlay() {
    impl_->notices.dismissSaved();
    impl_->transport.togglePlay();
}

void TalnModel::seek(double fraction) {
    impl_->notices.dismissSaved();
    impl_->transport.seek(fraction);
}

void TalnModel::skip(double seconds) {
    impl_->transport.skip(seconds);
}

void TalnModel::tick() {
    Impl& d = *impl_;
    // The tables and chunks the mixer has moved past first, so that the retired buffers they
    // held are free to go.
    d.transport.releaseRetired();
    d.retired.releaseUnused();
    // Progress is published when it moves, not 30 times a second regardless.
    if (d.isLoading.get() && static_cast<double>(d.loads.progress()) != d.loadProgress.get()) {
        d.loadProgress.set(std::max(-1.0, static_cast<double>(d.loads.progress())));
    }
    d.exports.tick();
    d.transport.tick();
}

void TalnModel::setHearOriginal(bool hearOriginal) {
    impl_->notices.dismissSaved();
    setListening(hearOriginal ? Listening::Original : Listening::Cleaned);
}

void TalnModel::setListening(Listening listening) {
    impl_->transport.setListening(listening);
}

// ---- Noise sample --------------------------------------------------------------------------

void TalnModel::selectStretch(double fromFraction, double toFraction) {
    Impl& d = *impl_;
    if (d.orig.empty() || std::isnan(fromFraction) || std::isnan(toFraction)) {
        return;
    }
    const auto n = static_cast<double>(frameCount(d.orig));
    const auto at = [n](double f) {
        return static_cast<std::int64_t>(std::floor(std::clamp(f, 0.0, 1.0) * n));
    };
    d.noise.select(NoiseChoice::Stretch{at(std::min(fromFraction, toFraction)),
                                        at(std::max(fromFraction, toFraction))});
}

void TalnModel::startSelectionAtPlayhead() {
    Impl& d = *impl_;
    if (d.orig.empty()) {
        return;
    }
    const std::int64_t at = d.transport.playheadFrame();
    const auto& selection = d.noise.selection();
    d.noise.select({at, selection && selection->last > at ? selection->last : at});
}

void TalnModel::endSelectionAtPlayhead() {
    Impl& d = *impl_;
    if (d.orig.empty()) {
        return;
    }
    const std::int64_t at = d.transport.playheadFrame();
    const auto& selection = d.noise.selection();
    d.noise.select({selection && selection->first < at ? selection->first : at, at});
}

void TalnModel::clearSelection() {
    impl_->noise.clearSelection();
}

void TalnModel::useSelectionAsNoise() {
    Impl& d = *impl_;
    if (!d.orig.empty() && d.noise.useSelection(d.orig, d.rate())) {
        runProcessing(0.0);
    }
}

void TalnModel::useAutomaticNoise() {
    Impl& d = *impl_;
    if (!d.orig.empty() && d.noise.useAutomatic()) {
        runProcessing(0.0);
    }
}

// ---- Export --------------------------------------------------------------------------------

void TalnModel::exportAudio(AudioExporter::Kind kind) {
    startExport(kind, false);
}

void TalnModel::exportVideo() {
    if (impl_->hasVideo.get()) {
        startExport(AudioExporter::Kind::m4a, true);
    }
}

void TalnModel::startExport(AudioExporter::Kind kind, bool video) {
    Impl& d = *impl_;
    // While a cleaning is pending the cleaned audio is about to change: export waits for it.
    if (d.orig.empty() || d.cleaned.isProcessing() || !d.panels) {
        return;
    }
    d.notices.dismissSaved();
    d.exports.start(kind, video,
                    {d.cleaned.audio(), d.format, d.fileName.get(), d.filePath, d.fileFolder,
                     d.cleaned.loudness()});
}

void TalnModel::cancelExport() {
    impl_->exports.cancel();
}

} // namespace taln
