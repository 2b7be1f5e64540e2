#include "tests/model/model_harness.h"

#include "audio/audio_exporter.h"
#include "engine/cleaner.h"
#include "engine/noise_sample.h"
#include "model/background_work.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <random>

namespace taln::test {

bool waitFor(const std::function<bool()>& done) {
    return QTest::qWaitFor(done, kWaitMs);
}

void drainWorkers() {
    BackgroundWork::waitForAll();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void Gate::pass() {
    std::unique_lock lock(mutex_);
    ++arrivals_;
    opened_.wait(lock, [this] { return open_; });
}

bool Gate::waitArrivals(int n) {
    return waitFor([this, n] { return arrivals() >= n; });
}

void Gate::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
}

int Gate::arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

std::optional<QString> FakePanels::chooseFileToOpen() {
    ++state_->openCalls;
    if (state_->openAnswers.empty()) {
        return std::nullopt;
    }
    const QString answer = state_->openAnswers.front();
    state_->openAnswers.pop_front();
    if (answer.isNull()) {
        return std::nullopt;
    }
    return answer;
}

QStringList FakePanels::chooseFilesToOpen() {
    if (state_->openManyAnswers.empty()) {
        return FilePanels::chooseFilesToOpen();
    }
    const QStringList answer = state_->openManyAnswers.front();
    state_->openManyAnswers.pop_front();
    return answer;
}

std::optional<QString> FakePanels::chooseExportDestination(AudioExporter::Kind kind,
                                                           const QString& suggestedName,
                                                           const QString& folder) {
    state_->exportCalls.emplace_back(kind, suggestedName);
    state_->exportFolders.push_back(folder);
    if (state_->whileExportPanelOpen) {
        state_->whileExportPanelOpen();
    }
    return state_->exportAnswer;
}

std::optional<QString> FakePanels::chooseVideoDestination(const QString& extension,
                                                          const QString& suggestedName,
                                                          const QString& folder,
                                                          bool& keepOriginalAudio) {
    (void)extension;
    (void)keepOriginalAudio;
    return chooseExportDestination(AudioExporter::Kind::m4a, suggestedName, folder);
}

std::vector<float> noisyTone(std::int64_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    std::vector<float> samples(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
        // A 0.25 s tone every other quarter second over steady noise.
        const bool toneOn = (i / 11025) % 2 == 1;
        const double tone =
            toneOn ? 0.4 * std::sin(2.0 * std::numbers::pi * 440.0 * double(i) / kSampleRate) : 0.0;
        samples[static_cast<std::size_t>(i)] = static_cast<float>(tone) + noise(random);
    }
    return samples;
}

Harness::Harness() {
    auto out = std::make_unique<ManualOutput>();
    output = out.get();
    model = std::make_unique<TalnModel>(std::make_unique<FakePanels>(panels), std::move(out),
                                        nullptr, hooks);
}

QString Harness::writeWav(const QString& name, const std::vector<std::vector<float>>& channels) {
    Channels shared;
    for (const auto& c : channels) {
        shared.push_back(std::make_shared<const Channel>(c));
    }
    const QString path = dir.filePath(name);
    AudioExporter::write(shared, kSampleRate, AudioExporter::Kind::wav,
                         QFile::encodeName(path).toStdString());
    return path;
}

QString Harness::writeTone(const QString& name, double seconds, int channelCount) {
    const auto frames = static_cast<std::int64_t>(seconds * kSampleRate);
    std::vector<std::vector<float>> channels;
    for (int c = 0; c < channelCount; ++c) {
        channels.push_back(noisyTone(frames, 17u + static_cast<unsigned>(c)));
    }
    return writeWav(name, channels);
}

void Harness::loadAndSettle(const QString& path) {
    model->load(path);
    ASSERT_TRUE(waitFor([this] { return !model->isLoading() && !model->isProcessing(); }));
    ASSERT_FALSE(model->orig().empty()) << model->errorMessage().toStdString();
}

Channels Harness::expectedClean(double percent) const {
    CancelToken token;
    Channels result;
    for (const ChannelPtr& channel : model->orig()) {
        const NoiseSample noise = NoiseSample::measure(*channel, kSampleRate);
        auto cleaned =
            Cleaner::clean(*channel, noise.profile, static_cast<float>(percent / 100.0),
                           kSampleRate, token, noise.hum, Cleaner::kDefaultEngine, &noise.track);
        result.push_back(std::make_shared<const Channel>(std::move(*cleaned)));
    }
    return result;
}

bool sameAudio(const Channels& a, const Channels& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t c = 0; c < a.size(); ++c) {
        if (*a[c] != *b[c]) {
            return false;
        }
    }
    return true;
}

bool closeAudio(const Channels& a, const Channels& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t c = 0; c < a.size(); ++c) {
        const Channel& x = *a[c];
        const Channel& y = *b[c];
        if (x.size() != y.size()) {
            return false;
        }
        double error = 0.0;
        double power = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            error += (double(x[i]) - double(y[i])) * (double(x[i]) - double(y[i]));
            power += double(y[i]) * double(y[i]);
        }
        // Silence against silence compares absolutely (a power of 0 divides nothing).
        if (!(error <= 1e-12 * std::max(power, 1.0))) {
            return false;
        }
    }
    return true;
}

std::vector<float> pullLeft(ManualOutput& output, std::int64_t frames) {
    std::vector<float> stereo(static_cast<std::size_t>(2 * frames));
    output.pull(stereo.data(), frames);
    std::vector<float> left(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
        left[static_cast<std::size_t>(i)] = stereo[static_cast<std::size_t>(2 * i)];
    }
    return left;
}

} // namespace taln::test
