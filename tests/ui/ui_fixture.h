#pragma once

// What the window tests share: fake panels, a model over a ManualOutput, recordings
// written to a temporary folder, and a wait that pumps the event loop.

#include "audio/audio_exporter.h"
#include "audio/channels.h"
#include "model/file_panels.h"
#include "model/taln_model.h"
#include "model/worker_hooks.h"
#include "tests/support/manual_output.h"
#include "ui/main_window.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cmath>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <numbers>

namespace taln::test {

// What the fake panels were asked, and what they answer; shared with the test because
// the model owns the panels themselves.
struct PanelLog {
    std::deque<QString> openAnswers; // an empty queue or an empty path: the user cancels
    int openCount = 0;
    std::vector<AudioExporter::Kind> exportKinds;
    QString exportAnswer; // empty: the user cancels the save panel
};

class FakePanels : public FilePanels {
public:
    explicit FakePanels(std::shared_ptr<PanelLog> log) : log_(std::move(log)) {}

    std::optional<QString> chooseFileToOpen() override {
        ++log_->openCount;
        if (log_->openAnswers.empty()) {
            return std::nullopt;
        }
        const QString answer = log_->openAnswers.front();
        log_->openAnswers.pop_front();
        if (answer.isEmpty()) {
            return std::nullopt;
        }
        return answer;
    }

    std::optional<QString> chooseExportDestination(AudioExporter::Kind kind, const QString&,
                                                   const QString&) override {
        log_->exportKinds.push_back(kind);
        if (log_->exportAnswer.isEmpty()) {
            return std::nullopt;
        }
        return log_->exportAnswer;
    }

private:
    std::shared_ptr<PanelLog> log_;
};

// Pumps events until `done` holds. The bound only keeps a broken build from hanging; the
// tests assert what happened, never how long it took.
inline bool waitFor(const std::function<bool()>& done, int boundMilliseconds = 30000) {
    QDeadlineTimer deadline(boundMilliseconds);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// A stereo recording of `seconds` of two tones, written as a WAV file.
inline QString writeTone(const QTemporaryDir& dir, const QString& name, double seconds) {
    const auto frames = static_cast<std::size_t>(seconds * kSampleRate);
    auto left = std::make_shared<Channel>(frames);
    auto right = std::make_shared<Channel>(frames);
    for (std::size_t k = 0; k < frames; ++k) {
        const double t = static_cast<double>(k) / kSampleRate;
        (*left)[k] = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * 220.0 * t));
        (*right)[k] = static_cast<float>(0.3 * std::sin(2.0 * std::numbers::pi * 330.0 * t));
    }
    const QString path = dir.filePath(name);
    AudioExporter::write({left, right}, kSampleRate, AudioExporter::Kind::wav, path.toStdString());
    return path;
}

// A file that is no recording at all.
inline QString writeText(const QTemporaryDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write("These are just words, not sound.\n");
    }
    return path;
}

// One model over a ManualOutput with fake panels, and one shown window on it.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // Each window starts from the defaults, not from what an earlier test left behind.
        QSettings().clear();
        auto output = std::make_unique<ManualOutput>();
        manual = output.get();
        model = std::make_unique<TalnModel>(std::make_unique<FakePanels>(log), std::move(output),
                                            nullptr, hooks);
        window = std::make_unique<MainWindow>(model.get());
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    void TearDown() override {
        window.reset();
        // Let a cleaning run that is still going finish before the model goes.
        waitFor([this] { return !model->isLoading() && !model->isProcessing(); });
        model.reset();
    }

    // Loads `path` and waits until it is installed and its first cleaning has published.
    bool loadAndSettle(const QString& path) {
        model->load(path);
        return waitFor([this] { return !model->isLoading() && !model->isProcessing(); });
    }

    QTemporaryDir dir;
    std::shared_ptr<PanelLog> log = std::make_shared<PanelLog>();
    ManualOutput* manual = nullptr;
    std::shared_ptr<WorkerHooks> hooks = std::make_shared<WorkerHooks>();
    std::unique_ptr<TalnModel> model;
    std::unique_ptr<MainWindow> window;
};

} // namespace taln::test
