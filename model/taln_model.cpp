#include "model/taln_model.h"

#include "audio/audio_decoder.h"
#include "audio/player.h"
#include "audio/taln_error.h"
#include "engine/cancel_token.h"
#include "engine/cleaner.h"
#include "model/background_work.h"
#include "model/cleaning_run.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace taln {

namespace {

using Profiles = std::vector<std::vector<float>>;

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

// A peak scale of 0 would make a silent file's waveform divide by zero.
constexpr float kMinPeakScale = 0.0001f;

// The one road from a worker thread back to the model. Workers post through it; once the
// model is gone the road is closed and posts are dropped. A post queues its function here,
// under our own lock, and asks Qt to call the model's runPosted() once for it; runPosted()
// takes the functions out under the same lock, in the order they were posted. So everything
// a worker wrote before posting is ordered, through a lock the program can see, before what
// the main thread reads, instead of relying on the event queue's internal locking alone.
class Link {
public:
    using Fn = std::function<void(TalnModel*)>;

    explicit Link(TalnModel* model) : model_(model) {}

    // Any thread. Queues `fn(model)` on the model's (main) thread, unless the model is gone.
    void post(Fn fn) {
        std::lock_guard lock(mutex_);
        if (model_ == nullptr) {
            return;
        }
        posted_.push_back(std::move(fn));
        // Under the lock, so that the model cannot be destroyed during the call.
        QMetaObject::invokeMethod(model_, "runPosted", Qt::QueuedConnection);
    }

    // Main thread: the oldest posted function, if any.
    Fn take() {
        std::lock_guard lock(mutex_);
        if (posted_.empty()) {
            return {};
        }
        Fn fn = std::move(posted_.front());
        posted_.pop_front();
        return fn;
    }

    // Main thread, from the model's destructor. Functions still queued are dropped.
    void close() {
        std::deque<Fn> dropped;
        {
            std::lock_guard lock(mutex_);
            model_ = nullptr;
            dropped.swap(posted_);
        }
    }

private:
    std::mutex mutex_;
    TalnModel* model_;
    std::deque<Fn> posted_;
};

// The exception being handled, in words for the user: the library's or the system's own text.
QString describeCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return QString::fromLocal8Bit(std::strerror(ENOMEM));
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QString::fromLocal8Bit(std::strerror(EIO));
    }
}

// A named pipe, socket or device is no recording, and reading one may never end: opening a
// pipe waits for a writer that may never come, and /dev/zero or /dev/urandom go on for ever,
// so the load would hang and hold its thread until the program quits. A directory and a path
// that cannot be examined (missing, a symlink loop) go to the decoder, which names the
// system's reason.
void refuseSpecialFile(const std::filesystem::path& file, const QString& name) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status) ||
        std::filesystem::is_directory(status)) {
        return;
    }
    throw std::runtime_error((name + QStringLiteral(": Not a regular file")).toStdString());
}

// Frees channel buffers this thread holds the last references to (a worker's). A buffer of a
// long recording is handed back to the system 32 MB at a time first: unmapping 3.8 GB in one
// call takes about 0.3 s, and all that time the kernel makes every other thread of the process
// wait that maps memory, the main thread's starting of a worker included. After the steps the
// buffer's pages are gone and its unmapping is immediate.
void releaseChannels(Channels channels) {
    constexpr std::size_t kStep = std::size_t{32} << 20;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (ChannelPtr& channel : channels) {
        if (channel.use_count() != 1 || channel->size() * sizeof(float) < 2 * kStep) {
            channel.reset();
            continue;
        }
        // Whole pages inside the buffer only: the allocator's bookkeeping before it stays.
        const auto begin = reinterpret_cast<std::uintptr_t>(channel->data());
        const std::uintptr_t from = (begin + page - 1) / page * page;
        const std::uintptr_t to = (begin + channel->size() * sizeof(float)) / page * page;
        for (std::uintptr_t at = from; at < to; at += kStep) {
            // The contents are never read again; MADV_DONTNEED drops the pages.
            ::madvise(reinterpret_cast<void*>(at), std::min<std::uintptr_t>(kStep, to - at),
                      MADV_DONTNEED);
        }
        channel.reset();
    }
}

std::filesystem::path toPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Seconds to a frame index: t × 44,100, truncated toward zero.
std::int64_t toFrame(double seconds) {
    return static_cast<std::int64_t>(seconds * kSampleRate);
}

float scaleOf(const std::vector<Peak>& peaks) {
    float m = 0.0f;
    bool any = false;
    for (const Peak& p : peaks) {
        m = any ? std::max(m, std::max(std::fabs(p.lo), std::fabs(p.hi)))
                : std::max(std::fabs(p.lo), std::fabs(p.hi));
        any = true;
    }
    if (!any) {
        return 1.0f;
    }
    return m <= kMinPeakScale ? kMinPeakScale : m;
}

} // namespace

// What a load's background part hands to the main thread: either an error text or the decoded
// file with everything computed from it.
struct TalnModel::LoadResult {
    bool failed = false;
    QString error;
    Channels channels;
    std::shared_ptr<const Profiles> noise;
    std::shared_ptr<const std::vector<Peak>> peaks;
    float peakScale = 1.0f;
};

// One cleaning job, fixed when it is scheduled; later changes of the model do not reach it.
struct TalnModel::Job {
    std::shared_ptr<CancelToken> token;
    Channels channels;
    std::shared_ptr<const Profiles> noise;
    float strength = 0.0f;
};

struct TalnModel::Impl {
    Impl(TalnModel* model, std::unique_ptr<FilePanels> p, std::unique_ptr<AudioOutput> output)
        : panels(std::move(p)), player(std::move(output)), link(std::make_shared<Link>(model)) {}

    std::unique_ptr<FilePanels> panels;
    Player player;

    // Published.
    QString fileName;
    bool isLoading = false;
    bool isProcessing = false;
    double strength = 60.0;
    bool hearOriginal = false;
    bool isPlaying = false;
    double position = 0.0;
    double duration = 0.0;
    std::vector<Peak> origPeaks;
    std::vector<Peak> cleanPeaks;
    float peakScale = 1.0f;
    QString errorMessage;

    // Unpublished.
    Channels orig;
    Channels cleaned;
    std::shared_ptr<const Profiles> noise = std::make_shared<const Profiles>();
    std::shared_ptr<CancelToken> token = std::make_shared<CancelToken>();

    // The latest job waits on `jobTimer` (its cancellable sleep) and then runs `job`.
    std::optional<Job> job;
    QTimer jobTimer;
    QTimer positionTimer;

    // Every load is numbered; only the latest one started may install its file or report.
    std::uint64_t latestLoad = 0;
    // The stop flag of the latest load's background part: set when a later load supersedes
    // it or the model goes, so that the worker gives up instead of reading and analysing a
    // file nobody will install.
    std::shared_ptr<std::atomic<bool>> loadCancel = std::make_shared<std::atomic<bool>>(false);

    // Where the loaded file lies, and where the latest export was written (empty before the
    // first); the save panel opens in the latter, else in the former.
    QString fileFolder;
    QString lastExportFolder;

    std::shared_ptr<Link> link;

    // Channel buffers the model let go of, held until nobody else (the player's schedules, a
    // posted result, a job's snapshot) refers to them, then freed on a worker thread: giving
    // back a 3-hour stereo recording (3.8 GB) takes the system about a second, which the
    // main thread must not spend.
    Channels retired;
};

TalnModel::TalnModel(std::unique_ptr<FilePanels> panels, std::unique_ptr<AudioOutput> output,
                     QObject* parent)
    : QObject(parent), impl_(std::make_unique<Impl>(this, std::move(panels), std::move(output))) {
    Impl& d = *impl_;
    d.jobTimer.setSingleShot(true);
    d.jobTimer.setTimerType(Qt::PreciseTimer);
    connect(&d.jobTimer, &QTimer::timeout, this, [this] { startJob(); });

    d.positionTimer.setTimerType(Qt::PreciseTimer);
    d.positionTimer.setInterval(kTickInterval);
    connect(&d.positionTimer, &QTimer::timeout, this, [this] { tick(); });
    d.positionTimer.start();
}

TalnModel::~TalnModel() {
    impl_->link->close();
    // Nobody will take the results: let a running load and cleaning stop at their next poll.
    impl_->loadCancel->store(true, std::memory_order_relaxed);
    impl_->token->cancel();
}

void TalnModel::runPosted() {
    if (auto fn = impl_->link->take()) {
        fn(this);
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
    return impl_->hearOriginal;
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
const Channels& TalnModel::orig() const {
    return impl_->orig;
}
const Channels& TalnModel::cleaned() const {
    return impl_->cleaned;
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
    cancelJob();
    assignIsLoading(true);
    assignErrorMessage(QString());

    const std::uint64_t load = ++d.latestLoad;
    d.loadCancel->store(true, std::memory_order_relaxed);
    d.loadCancel = std::make_shared<std::atomic<bool>>(false);
    const QString name = QFileInfo(path).fileName();
    BackgroundWork::start([link = d.link, cancel = d.loadCancel, hook = loadFinishedHook_, path,
                           file = toPath(path), load, name] {
        auto result = std::make_shared<LoadResult>();
        try {
            refuseSpecialFile(file, name);
            result->channels = AudioDecoder::decode(file);
            if (cancel->load(std::memory_order_relaxed)) {
                // A later load started while this one was decoding: its result will be
                // dropped, so spare the analysis and give the memory back now.
                releaseChannels(std::exchange(result->channels, {}));
                result->failed = true;
            } else if (frameCount(result->channels) <= 0) {
                // The decoder reports a file without frames itself; never install one.
                throw TalnError(TalnError::noAudio);
            } else {
                auto noise = std::make_shared<Profiles>(result->channels.size());
                auto buckets = std::make_shared<std::vector<Peak>>();
                BackgroundWork::forEachIndex(
                    static_cast<std::int64_t>(result->channels.size()), [&](std::int64_t i) {
                        const auto c = static_cast<std::size_t>(i);
                        (*noise)[c] = Cleaner::estimateNoise(*result->channels[c]);
                        if (i == 0) {
                            *buckets = peaks(result->channels, kPeakBuckets);
                        }
                    });
                result->peakScale = scaleOf(*buckets);
                result->noise = std::move(noise);
                result->peaks = std::move(buckets);
            }
        } catch (...) {
            result->failed = true;
            result->channels.clear();
            result->error = describeCurrentException();
        }
        if (hook) {
            hook(path);
        }
        link->post(
            [load, path, result](TalnModel* model) { model->finishLoad(load, path, *result); });
    });
}

void TalnModel::finishLoad(std::uint64_t load, const QString& path, const LoadResult& result) {
    Impl& d = *impl_;
    // A load that a later one superseded is dropped, whether it succeeded or failed: the file
    // the user chose last is the one that ends up loaded.
    if (load != d.latestLoad) {
        retire(result.channels);
        return;
    }

    if (result.failed) {
        assignIsLoading(false);
        assignErrorMessage(result.error);
        // This load cancelled the cleaning of the file still loaded; without a new job
        // `isProcessing` would stay true and Export disabled for good.
        if (!d.orig.empty() && d.isProcessing && d.token->cancelled()) {
            runProcessing(0.0);
        }
        return;
    }

    // A play pressed while the file was read played the earlier file; the new one starts
    // stopped, from its beginning (the player's load below stops the output).
    if (d.isPlaying) {
        assignIsPlaying(false);
    }
    retire(d.orig);
    retire(d.cleaned);
    const QFileInfo file(path);
    d.fileFolder = file.absolutePath();
    d.orig = result.channels;
    d.noise = result.noise;
    d.cleaned = result.channels;
    assignDuration(static_cast<double>(frameCount(d.orig)) / kSampleRate);
    assignPosition(0.0);
    assignFileName(file.fileName());
    assignOrigPeaks(*result.peaks);
    assignCleanPeaks(d.origPeaks);
    assignPeakScale(result.peakScale);
    d.player.load(d.orig, d.cleaned, kSampleRate);
    d.player.setHearOriginal(d.hearOriginal);
    assignIsLoading(false);
    runProcessing(0.0);
}

void TalnModel::openPanel() {
    if (!impl_->panels) {
        return;
    }
    if (auto path = impl_->panels->chooseFileToOpen()) {
        load(*path);
    }
}

// ---- Processing ----------------------------------------------------------------------------

void TalnModel::setStrength(double strength) {
    impl_->strength = strength;
    emit strengthChanged();
    if (!impl_->orig.empty()) {
        runProcessing(kStrengthDebounce);
    }
}

void TalnModel::cancelJob() {
    Impl& d = *impl_;
    if (d.job) {
        d.jobTimer.stop();
    }
    d.token->cancel();
}

void TalnModel::runProcessing(double delay) {
    Impl& d = *impl_;
    cancelJob();
    d.token = std::make_shared<CancelToken>();
    Job job{d.token, d.orig, d.noise, static_cast<float>(d.strength / 100.0)};
    assignIsProcessing(true);
    d.job = std::move(job);
    d.jobTimer.start(std::chrono::milliseconds(std::llround(std::max(delay, 0.0) * 1000.0)));
}

void TalnModel::startJob() {
    Impl& d = *impl_;
    if (!d.job || d.job->token->cancelled()) {
        return;
    }
    // The job keeps its own snapshot; the model's handle no longer pins the buffers.
    Job job = std::exchange(*d.job, Job{d.job->token, {}, {}, d.job->strength});
    BackgroundWork::start([link = d.link, hook = cleaningFinishedHook_, job = std::move(job)] {
        try {
            auto cleaned =
                CleaningRun::cleanAll(job.channels, *job.noise, job.strength, *job.token);
            if (!cleaned || job.token->cancelled()) {
                return;
            }
            auto buckets = std::make_shared<const std::vector<Peak>>(peaks(*cleaned, kPeakBuckets));
            if (hook) {
                hook();
            }
            link->post([token = job.token, channels = std::move(*cleaned), buckets](
                           TalnModel* model) { model->publishCleaning(token, channels, buckets); });
        } catch (...) {
            // Out of memory, most likely: a long recording cleaned at once needs several
            // times its own size.
            link->post([token = job.token, message = describeCurrentException()](TalnModel* model) {
                model->failCleaning(token, message);
            });
        }
    });
}

void TalnModel::publishCleaning(const std::shared_ptr<CancelToken>& token, const Channels& channels,
                                const std::shared_ptr<const std::vector<Peak>>& peaks) {
    Impl& d = *impl_;
    // The last of the four checks: a job whose background part finished just before it was
    // superseded publishes nothing.
    if (token != d.token || token->cancelled()) {
        retire(channels);
        return;
    }
    retire(d.cleaned);
    d.cleaned = channels;
    assignCleanPeaks(*peaks);
    assignIsProcessing(false);
    d.player.setClean(d.cleaned);
    if (d.isPlaying) {
        const std::int64_t frame = toFrame(d.player.currentTime());
        if (frame >= frameCount(d.orig)) {
            // The player's time passed the end before the tick noticed it.
            reachEnd();
        } else if (!startPlayer(frame)) {
            d.player.stop();
            assignIsPlaying(false);
        }
    }
}

void TalnModel::failCleaning(const std::shared_ptr<CancelToken>& token, const QString& message) {
    // Only the latest job reports, as only it publishes; the earlier result stays in place,
    // audible and exportable.
    if (token != impl_->token || token->cancelled()) {
        return;
    }
    assignErrorMessage(message);
    assignIsProcessing(false);
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
    if (startPlayer(toFrame(d.position))) {
        assignIsPlaying(true);
    }
}

void TalnModel::seek(double fraction) {
    Impl& d = *impl_;
    if (d.orig.empty() || std::isnan(fraction)) {
        return;
    }
    const double c = fraction <= 0.0 ? 0.0 : (fraction > 1.0 ? 1.0 : fraction);
    assignPosition(c * d.duration);
    if (!d.isPlaying) {
        return;
    }
    const std::int64_t frame = toFrame(d.position);
    // At the very end there is nothing left to play: end playback as the tick would.
    if (c >= 1.0 || frame >= frameCount(d.orig)) {
        reachEnd();
    } else if (!startPlayer(frame)) {
        d.player.stop();
        assignIsPlaying(false);
    }
}

void TalnModel::tick() {
    Impl& d = *impl_;
    releaseRetired();
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
    impl_->hearOriginal = hearOriginal;
    emit hearOriginalChanged();
    impl_->player.setHearOriginal(impl_->hearOriginal);
}

// ---- Export --------------------------------------------------------------------------------

QString TalnModel::exportName(const QString& fileName, AudioExporter::Kind kind) {
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

void TalnModel::exportAudio(AudioExporter::Kind kind) {
    Impl& d = *impl_;
    // While a cleaning is pending the cleaned audio is about to change: export waits for it.
    if (d.orig.empty() || d.isProcessing || !d.panels) {
        return;
    }
    // The panel runs the event loop while it is open, so another file may be installed
    // meanwhile: what gets written is what was there when the user asked, under its name.
    Channels snapshot = d.cleaned;
    const QString folder = d.lastExportFolder.isEmpty() ? d.fileFolder : d.lastExportFolder;
    const auto destination =
        d.panels->chooseExportDestination(kind, exportName(d.fileName, kind), folder);
    if (!destination) {
        return;
    }
    d.lastExportFolder = QFileInfo(*destination).absolutePath();
    BackgroundWork::start([link = d.link, snapshot = std::move(snapshot), kind,
                           file = toPath(*destination)] {
        try {
            AudioExporter::write(snapshot, kSampleRate, kind, file);
        } catch (...) {
            const QString message = QStringLiteral("Export failed: ") + describeCurrentException();
            link->post([message](TalnModel* model) { model->assignErrorMessage(message); });
        }
    });
}

// ---- Releasing audio ---------------------------------------------------------------------

void TalnModel::retire(const Channels& channels) {
    Impl& d = *impl_;
    for (const ChannelPtr& channel : channels) {
        if (channel && std::find(d.retired.begin(), d.retired.end(), channel) == d.retired.end()) {
            d.retired.push_back(channel);
        }
    }
}

void TalnModel::releaseRetired() {
    Impl& d = *impl_;
    // use_count() == 1: only this list still holds the buffer, and no other owner can appear,
    // since a reference is only ever copied from an existing one.
    const auto unused = std::partition(d.retired.begin(), d.retired.end(),
                                       [](const ChannelPtr& c) { return c.use_count() > 1; });
    if (unused == d.retired.end()) {
        return;
    }
    Channels release(std::make_move_iterator(unused), std::make_move_iterator(d.retired.end()));
    d.retired.erase(unused, d.retired.end());
    BackgroundWork::start(
        [release = std::move(release)]() mutable { releaseChannels(std::move(release)); });
}

// ---- Peaks ---------------------------------------------------------------------------------

std::vector<Peak> TalnModel::peaks(const Channels& channels, std::int64_t buckets) {
    const std::int64_t n = frameCount(channels);
    if (n <= 0 || buckets <= 0) {
        return {};
    }
    std::vector<Peak> result;
    result.reserve(static_cast<std::size_t>(buckets));
    for (std::int64_t b = 0; b < buckets; ++b) {
        const std::int64_t start = (b * n) / buckets;
        const std::int64_t end = std::min(n, std::max(start + 1, ((b + 1) * n) / buckets));
        float lo = 0.0f;
        float hi = 0.0f;
        for (const ChannelPtr& channel : channels) {
            if (!channel) {
                continue;
            }
            // All channels are as long as the first; a shorter one is read only as far as it goes.
            const float* samples = channel->data();
            const std::int64_t stop = std::min(end, static_cast<std::int64_t>(channel->size()));
            for (std::int64_t i = start; i < stop; ++i) {
                const float x = samples[i];
                if (x < lo) {
                    lo = x;
                }
                if (x >= hi) {
                    hi = x;
                }
            }
        }
        result.push_back(Peak{lo, hi});
    }
    return result;
}

} // namespace taln
