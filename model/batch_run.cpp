#include "model/batch_run.h"

#include "audio/audio_decoder.h"
#include "audio/audio_format.h"
#include "audio/chunked_audio.h"
#include "audio/file_error.h"
#include "audio/output_names.h"
#include "audio/replacing_file.h"
#include "audio/video_exporter.h"
#include "audio/wording.h"
#include "audio/write_control.h"
#include "engine/cancel_token.h"
#include "engine/noise_sample.h"
#include "engine/piece_scheduler.h"
#include "engine/real_fft.h"
#include "engine/strength.h"
#include "engine/worker_pool.h"
#include "model/worker_hooks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace taln {

namespace {

// The progress shown per stage of a file: decoding is quick next to cleaning, and a video's
// own write (its frames copied, its sound encoded) takes about as long as its cleaning.
constexpr float kDecodedShare = 0.15f;
constexpr float kVideoCleanedShare = 0.55f;
// Progress is polled this often while a file cleans: smooth to the eye, nothing to the work.
constexpr int kPollMs = 33;

std::filesystem::path toPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// What names one file whichever path leads to it: its canonical path once it exists.
QString identity(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

// Whether `a` and `b` are one existing file, hard links included.
bool sameFile(const QString& a, const QString& b) {
    std::error_code ec;
    return std::filesystem::equivalent(toPath(a), toPath(b), ec) && !ec;
}

// The failure of the file called `name` at `input`, in words for the user: a file that could
// not be read as the window words it, memory running out as such, anything else as it says.
QString failureWords(const std::filesystem::path& input, const QString& name) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Not enough memory to clean %1").arg(name);
    } catch (const FileError& error) {
        if (error.path() == input) {
            return QString::fromStdString(Wording::readFailure(error, name.toStdString()));
        }
        return QString::fromUtf8(error.what());
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
        return QStringLiteral("%1 could not be cleaned").arg(name);
    }
}

} // namespace

// What the run's thread and the main thread share: the stop flags and the progress of the file
// being cleaned, all atomics read relaxed (a late read only delays a bar or a stop).
struct BatchRun::Shared {
    std::atomic<bool> stop{false};
    CancelToken token;
    std::atomic<int> current{-1};
    std::atomic<bool> video{false};
    // The decoder's share of the file read (negative: unknown), the share cleaned (a video's)
    // and the share written.
    std::atomic<float> decoded{-1.0f};
    std::atomic<float> cleaned{0.0f};
    std::atomic<float> written{0.0f};
    std::thread thread;

    float progress() const {
        const float read = std::max(decoded.load(std::memory_order_relaxed), 0.0f);
        if (cleaned.load(std::memory_order_relaxed) <= 0.0f &&
            written.load(std::memory_order_relaxed) <= 0.0f) {
            return kDecodedShare * read;
        }
        if (video.load(std::memory_order_relaxed)) {
            return kDecodedShare +
                   (kVideoCleanedShare - kDecodedShare) * cleaned.load(std::memory_order_relaxed) +
                   (1.0f - kVideoCleanedShare) * written.load(std::memory_order_relaxed);
        }
        return kDecodedShare + (1.0f - kDecodedShare) * written.load(std::memory_order_relaxed);
    }
};

namespace {

// The stop asked for, seen by the file being cleaned.
struct Stopped {};

// Cleans `input` into `output` as `format` at engine strength `strength` on `pool`, following
// `shared`'s stop flags and reporting into its progress. Stopped once stopped; the cause of a
// failure otherwise.
void cleanFile(const std::filesystem::path& input, const std::filesystem::path& output,
               BatchRun::Format format, float strength, WorkerPool& pool, BatchRun::Shared& shared,
               const std::function<void()>& writing) {
    const bool video = format == BatchRun::Format::video;
    const std::string name = QFile::decodeName(input.filename().c_str()).toStdString();
    ReplacingFile::checkFolder(output);
    if (video) {
        if (!VideoExporter::hasVideo(input)) {
            throw std::runtime_error(Wording::noVideo(name));
        }
        if (!VideoExporter::isVideoPath(input)) {
            throw std::runtime_error(name + ": videos are written as .mp4, .m4v, .mov, .mkv or "
                                            ".webm; choose an audio format");
        }
    }
    AudioDecoder::DecodeOptions decoding;
    decoding.cancel = &shared.stop;
    decoding.progress = &shared.decoded;
    decoding.decodeAhead = pool.threadCount() > 1;
    const AudioDecoder::Decoded decoded = AudioDecoder::decodeFile(input, decoding);
    if (shared.stop.load(std::memory_order_relaxed)) {
        throw Stopped();
    }
    const Channels& original = decoded.channels;
    const AudioFormat& audioFormat = decoded.format;
    const auto count = static_cast<int>(original.size());
    const std::int64_t n = frameCount(original);
    const double rate = audioFormat.sampleRate;

    std::vector<std::span<const float>> samples;
    for (const ChannelPtr& channel : original) {
        samples.emplace_back(*channel);
    }
    // The quietest frames of each channel, as taln-clean takes them without --noise-from.
    const bool track = Cleaner::kDefaultEngine == Cleaner::Engine::adaptive;
    std::vector<NoiseSample> noise = NoiseSample::measureAll(
        samples, rate, 0, std::numeric_limits<std::int64_t>::max(), &pool, track);
    PieceScheduler::Job job;
    job.sampleRate = rate;
    job.strength = strength;
    job.engine = Cleaner::kDefaultEngine;
    for (int c = 0; c < count; ++c) {
        const NoiseSample& sample = noise[static_cast<std::size_t>(c)];
        job.channels.push_back({samples[static_cast<std::size_t>(c)], sample.profile, &sample.track,
                                sample.hum,
                                isLowFrequencyEffects(audioFormat.channelMask, count, c)});
    }
    job.pieces = PieceScheduler::inOrder(n, rate, pool.threadCount());

    std::optional<AudioExporter::Stream> stream;
    if (!video) {
        stream.emplace(count, audioFormat, OutputNames::kindOf(format), Destination(output));
    }
    std::vector<Channel> whole(video ? original.size() : 0);
    for (Channel& channel : whole) {
        channel.reserve(static_cast<std::size_t>(n));
    }
    std::int64_t done = 0;
    const auto share = [n](std::int64_t frames) {
        return n > 0 ? static_cast<float>(double(frames) / double(n)) : 1.0f;
    };
    PieceScheduler::run(
        pool, job, shared.token, {},
        [&](std::span<const float* const> cleaned, std::int64_t frames) {
            if (writing) {
                writing();
            }
            if (stream) {
                stream->append(cleaned, frames);
            }
            for (std::size_t c = 0; c < whole.size(); ++c) {
                whole[c].insert(whole[c].end(), cleaned[c], cleaned[c] + frames);
            }
            done += frames;
            (video ? shared.cleaned : shared.written).store(share(done), std::memory_order_relaxed);
        });
    // A cancelled cleaning writes nothing more: the stream goes without its file.
    if (shared.token.cancelled()) {
        throw Stopped();
    }
    if (stream) {
        stream->finish();
        return;
    }
    shared.cleaned.store(1.0f, std::memory_order_relaxed);
    Channels sound;
    for (Channel& channel : whole) {
        sound.push_back(std::make_shared<const Channel>(std::move(channel)));
    }
    VideoExporter::write(ChunkedAudio::fromChannels(sound), audioFormat, input, output, {},
                         WriteControl{&shared.stop, &shared.written});
}

} // namespace

BatchRun::BatchRun(const QStringList& inputs, QObject* parent, std::shared_ptr<WorkerHooks> hooks)
    : QObject(parent), shared_(std::make_shared<Shared>()), hooks_(std::move(hooks)) {
    QStringList seen;
    for (const QString& input : inputs) {
        const QString id = identity(input);
        if (!seen.contains(id)) {
            seen.push_back(id);
            items_.push_back(Item{input, {}, State::waiting, 0.0, {}});
        }
    }
    poll_.setInterval(kPollMs);
    connect(&poll_, &QTimer::timeout, this, &BatchRun::poll);
}

BatchRun::~BatchRun() {
    shared_->stop.store(true, std::memory_order_relaxed);
    shared_->token.cancel();
    if (shared_->thread.joinable()) {
        shared_->thread.join();
    }
}

QString BatchRun::outputFor(const QString& input, const QString& folder, Format format) {
    const QFileInfo source(input);
    const std::string name = source.fileName().toStdString();
    const QString cleaned = QString::fromStdString(OutputNames::cleanedName(name, format));
    return QDir(folder.isEmpty() ? source.absolutePath() : folder).filePath(cleaned);
}

void BatchRun::start(const Settings& settings) {
    if (running_ || finished_) {
        return;
    }
    // The plan, made here before anything is written: where each file goes, and why a file is
    // refused.
    std::vector<QString> refusals(items_.size());
    QString folderFailure;
    if (!settings.folder.isEmpty()) {
        std::error_code ec;
        std::filesystem::create_directories(toPath(settings.folder), ec);
        if (ec) {
            folderFailure = QStringLiteral("Cannot make the folder %1: %2")
                                .arg(settings.folder, QString::fromStdString(ec.message()));
        }
    }
    QStringList outputs;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        Item& item = items_[i];
        item.output = outputFor(item.input, settings.folder, settings.format);
        const QString id = identity(item.output);
        if (!folderFailure.isEmpty()) {
            refusals[i] = folderFailure;
        } else if (const auto input = std::find_if(
                       items_.begin(), items_.end(),
                       [&](const Item& other) { return sameFile(other.input, item.output); });
                   input != items_.end()) {
            refusals[i] = QStringLiteral("%1 would be written over %2, one of the files being "
                                         "cleaned: choose another folder")
                              .arg(QFileInfo(item.output).fileName(), input->input);
        } else if (outputs.contains(id)) {
            refusals[i] = QStringLiteral("Another file of this batch is written to %1: choose "
                                         "another folder")
                              .arg(item.output);
        }
        outputs.push_back(id);
    }
    running_ = true;
    emit runningChanged();
    poll_.start();

    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> files;
    for (const Item& item : items_) {
        files.emplace_back(toPath(item.input), toPath(item.output));
    }
    // Engine strength as the window's slider gives it.
    const float strength = Strength::fromPercent(std::clamp(settings.strength, 0.0, 100.0));
    // Raw: the thread is joined before this object goes, and what it queues to it is dropped
    // with it.
    BatchRun* self = this;
    shared_->thread =
        std::thread([self, shared = shared_, files = std::move(files),
                     refusals = std::move(refusals), format = settings.format, strength,
                     writing = hooks_ ? hooks_->batchWriting : std::function<void(int)>()] {
            const auto report = [self](int index, State state, const QString& message) {
                QMetaObject::invokeMethod(
                    self, [self, index, state, message] { self->apply(index, state, message); },
                    Qt::QueuedConnection);
            };
            // The app makes measured plans at start-up; without them, quick estimated ones.
            if (RealFFT::wisdomFile().empty()) {
                RealFFT::prepare(Cleaner::kFrameLength, RealFFT::Planning::estimated);
            }
            WorkerPool pool(WorkerPool::hardwareThreads());
            for (std::size_t i = 0; i < files.size(); ++i) {
                const int index = static_cast<int>(i);
                if (shared->stop.load(std::memory_order_relaxed)) {
                    report(index, State::stopped, {});
                    continue;
                }
                shared->decoded.store(-1.0f, std::memory_order_relaxed);
                shared->cleaned.store(0.0f, std::memory_order_relaxed);
                shared->written.store(0.0f, std::memory_order_relaxed);
                shared->video.store(format == Format::video, std::memory_order_relaxed);
                shared->current.store(index, std::memory_order_relaxed);
                report(index, State::cleaning, {});
                const auto& [input, output] = files[i];
                const QString name = QFile::decodeName(input.filename().c_str());
                try {
                    if (!refusals[i].isEmpty()) {
                        throw std::runtime_error(refusals[i].toStdString());
                    }
                    cleanFile(input, output, format, strength, pool, *shared,
                              writing ? [&writing, index] { writing(index); }
                                      : std::function<void()>());
                    report(index, State::done, {});
                } catch (const Stopped&) {
                    report(index, State::stopped, {});
                } catch (const WriteCancelled&) {
                    report(index, State::stopped, {});
                } catch (...) {
                    report(index, shared->stop.load() ? State::stopped : State::failed,
                           shared->stop.load() ? QString() : failureWords(input, name));
                }
                shared->current.store(-1, std::memory_order_relaxed);
            }
            QMetaObject::invokeMethod(
                self, [self] { self->finish(); }, Qt::QueuedConnection);
        });
}

void BatchRun::stop() {
    if (!running_) {
        return;
    }
    shared_->stop.store(true, std::memory_order_relaxed);
    shared_->token.cancel();
}

void BatchRun::apply(int index, State state, const QString& message) {
    Item& item = items_[static_cast<std::size_t>(index)];
    item.state = state;
    item.message = message;
    if (state == State::done) {
        item.progress = 1.0;
    }
    emit itemChanged(index);
}

void BatchRun::poll() {
    const int index = shared_->current.load(std::memory_order_relaxed);
    if (index < 0 || items_[static_cast<std::size_t>(index)].state != State::cleaning) {
        return;
    }
    Item& item = items_[static_cast<std::size_t>(index)];
    // Never backwards: the shares are reset for the next file before its state arrives here.
    const double progress = std::max(item.progress, double(shared_->progress()));
    if (progress > item.progress) {
        item.progress = std::min(progress, 1.0);
        emit itemChanged(index);
    }
}

void BatchRun::finish() {
    poll_.stop();
    if (shared_->thread.joinable()) {
        shared_->thread.join();
    }
    running_ = false;
    finished_ = true;
    emit runningChanged();
}

} // namespace taln
