// taln-stress-model: drives TalnModel through a long file, without a window, the way a user
// would, and measures how long the main thread is ever kept from its event loop, and the
// process's peak memory against the decoded audio.
//
// Steps: load -> play while the first cleaning runs (a thread pulls audio in real time, as a
// sound card does) -> a second strength -> pause -> export WAV -> (--reload) load the same
// file again over the first. A 5 ms precise timer on the main thread records the gap between
// its firings; any gap beyond 5 ms is time the window could not repaint or take input. The
// longest gap is reported with the step it happened in, with the model signal emitted last
// before it (which names the main-thread work that ran long), and with the CPU time the main
// thread itself spent within it: a long gap with little CPU of its own is the machine's other
// threads taking the cores (or the main thread waiting on a lock), a long gap full of main-
// thread CPU is work that ran on the main thread.
//
//   taln-stress-model [--reload] [--export OUT.wav] INPUT
//
// One line of key=value pairs on stdout, then one line per step; exit status 1 when a step
// fails.

#include "model/background_work.h"
#include "model/file_panels.h"
#include "model/process_start.h"
#include "model/taln_model.h"
#include "tests/support/manual_output.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

// CPU time of the calling thread (user and system), in nanoseconds.
qint64 threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<qint64>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

long long peakRssBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<long long>(usage.ru_maxrss) * 1024;
}

// Answers the export panel with a fixed path.
class FixedPanels : public taln::FilePanels {
public:
    explicit FixedPanels(QString exportPath) : exportPath_(std::move(exportPath)) {}
    std::optional<QString> chooseFileToOpen() override { return std::nullopt; }
    std::optional<QString> chooseExportDestination(taln::AudioExporter::Kind, const QString&,
                                                   const QString&) override {
        return exportPath_;
    }

private:
    QString exportPath_;
};

// The longest gaps between firings of a 5 ms timer, per step.
class StallMeter : public QObject {
public:
    explicit StallMeter(QObject* parent) : QObject(parent) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] { fire(); });
        clock_.start();
        last_ = 0;
        timer_.start();
    }

    void enter(const std::string& step) {
        steps_.push_back({step, 0.0, 0.0, {}, 0.0, {}, {}});
        started_ = clock_.nsecsElapsed();
    }
    // The main-thread work now running, for naming the cause of a gap.
    void note(const char* what) { lastNote_ = what; }

    struct Step {
        std::string name;
        double maxGapMs;    // the longest gap between firings
        double maxGapCpuMs; // the main thread's own CPU time within that gap
        std::string cause;  // the model signal emitted last before it
        double maxCpuMs;    // the most main-thread CPU time within any one gap
        std::string cpuCause;
        std::vector<double> over50;
    };
    const std::vector<Step>& steps() const { return steps_; }
    double stepSeconds() const {
        return static_cast<double>(clock_.nsecsElapsed() - started_) / 1e9;
    }

private:
    void fire() {
        const qint64 now = clock_.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        const double gapMs = static_cast<double>(now - last_) / 1e6;
        const double cpuMs = static_cast<double>(cpu - lastCpu_) / 1e6;
        last_ = now;
        lastCpu_ = cpu;
        if (steps_.empty()) {
            return;
        }
        Step& s = steps_.back();
        if (gapMs > s.maxGapMs) {
            s.maxGapMs = gapMs;
            s.maxGapCpuMs = cpuMs;
            s.cause = lastNote_;
        }
        if (cpuMs > s.maxCpuMs) {
            s.maxCpuMs = cpuMs;
            s.cpuCause = lastNote_;
        }
        if (gapMs > 50.0) {
            s.over50.push_back(gapMs);
        }
        lastNote_ = "(idle)";
    }

    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 lastCpu_ = threadCpuNs();
    qint64 started_ = 0;
    std::string lastNote_ = "(idle)";
    std::vector<Step> steps_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // As the window does: the memory of replaced pieces given back, measured FFT plans.
    taln::ProcessStart::prepare();
    const QStringList args = app.arguments();
    bool reload = false;
    QString exportPath;
    QString input;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--reload")) {
            reload = true;
        } else if (args[i] == QLatin1String("--export") && i + 1 < args.size()) {
            exportPath = args[++i];
        } else {
            input = args[i];
        }
    }
    if (input.isEmpty()) {
        std::fprintf(stderr, "Usage: taln-stress-model [--reload] [--export OUT.wav] INPUT\n");
        return 2;
    }

    auto output = std::make_unique<taln::ManualOutput>();
    taln::ManualOutput* card = output.get();
    taln::TalnModel model(std::make_unique<FixedPanels>(exportPath), std::move(output));
    auto* meter = new StallMeter(&app);

    // Names the model's main-thread work as its signals go by.
    QObject::connect(&model, &taln::TalnModel::isLoadingChanged, meter,
                     [meter] { meter->note("isLoading (load / install)"); });
    QObject::connect(&model, &taln::TalnModel::origPeaksChanged, meter,
                     [meter] { meter->note("origPeaks (install)"); });
    QObject::connect(&model, &taln::TalnModel::cleanPeaksChanged, meter,
                     [meter] { meter->note("cleanPeaks (install / publish)"); });
    QObject::connect(&model, &taln::TalnModel::isProcessingChanged, meter,
                     [meter] { meter->note("isProcessing (schedule / publish)"); });
    QObject::connect(&model, &taln::TalnModel::isPlayingChanged, meter,
                     [meter] { meter->note("isPlaying (play / pause / stop)"); });
    QObject::connect(&model, &taln::TalnModel::positionChanged, meter,
                     [meter] { meter->note("position (tick / seek)"); });

    // The sound card: 1,024 frames every 23 ms while the program runs.
    std::atomic<bool> quitting{false};
    std::thread soundCard([card, &quitting] {
        std::vector<float> buffer(2 * 1024);
        while (!quitting.load()) {
            card->pull(buffer.data(), 1024);
            std::this_thread::sleep_for(std::chrono::milliseconds(23));
        }
    });

    int status = 0;
    struct Done {
        double seconds;
        long long peakRss; // the process's peak so far, at the step's end
    };
    std::vector<Done> durations;
    std::vector<std::function<void()>> steps;
    std::size_t next = 0;
    std::function<void()> advance = [&] {
        if (!meter->steps().empty()) {
            durations.push_back({meter->stepSeconds(), peakRssBytes()});
        }
        if (next >= steps.size() || status != 0) {
            app.quit();
            return;
        }
        QTimer::singleShot(0, &app, steps[next++]);
    };
    const auto failIfNoFile = [&] {
        if (model.orig().empty()) {
            std::fprintf(stderr, "taln-stress-model: %s\n",
                         model.errorMessage().toUtf8().constData());
            status = 1;
        }
    };
    const auto failIfExportFailed = [&] {
        if (!model.errorMessage().isEmpty() || !QFile::exists(exportPath)) {
            std::fprintf(stderr, "taln-stress-model: %s\n",
                         model.errorMessage().isEmpty()
                             ? "the export wrote no file"
                             : model.errorMessage().toUtf8().constData());
            status = 1;
        }
    };
    const auto whenIdle = [&](std::function<void()> then) {
        auto* poll = new QTimer(&app);
        poll->setInterval(20);
        QObject::connect(poll, &QTimer::timeout, &app, [&model, poll, then] {
            if (!model.isLoading() && !model.isProcessing()) {
                poll->deleteLater();
                poll->stop();
                then();
            }
        });
        poll->start();
    };

    steps.push_back([&] {
        meter->enter("load and first cleaning, playing");
        meter->note("load()");
        model.load(input);
        // Play as soon as the file is installed, while its first cleaning runs.
        auto* once = new QObject(&app);
        QObject::connect(&model, &taln::TalnModel::fileNameChanged, once, [&model, meter, once] {
            QTimer::singleShot(0, &model, [&model, meter] {
                meter->note("togglePlay() (play)");
                model.togglePlay();
            });
            once->deleteLater();
        });
        whenIdle([&] {
            failIfNoFile();
            advance();
        });
    });
    steps.push_back([&] {
        meter->enter("second strength, playing");
        meter->note("setStrength()");
        model.setStrength(30.0);
        whenIdle(advance);
    });
    steps.push_back([&] {
        meter->enter("pause");
        meter->note("togglePlay() (pause)");
        model.togglePlay();
        QTimer::singleShot(200, &app, advance);
    });
    if (!exportPath.isEmpty()) {
        steps.push_back([&] {
            meter->enter("export");
            meter->note("exportAudio()");
            // An earlier file at the path would hide an export that wrote nothing.
            QFile::remove(exportPath);
            model.exportAudio(taln::AudioExporter::Kind::wav);
            // The model posts nothing on success: a helper thread waits for the writer. A
            // failure reaches errorMessage through the main thread's queue ahead of the
            // call below, so it is seen there.
            std::thread([&app, &advance, &failIfExportFailed] {
                taln::BackgroundWork::waitForAll();
                QMetaObject::invokeMethod(
                    &app,
                    [&advance, &failIfExportFailed] {
                        failIfExportFailed();
                        advance();
                    },
                    Qt::QueuedConnection);
            }).detach();
        });
    }
    if (reload) {
        steps.push_back([&] {
            meter->enter("reload over the first file");
            meter->note("load()");
            model.load(input);
            whenIdle([&] {
                failIfNoFile();
                advance();
            });
        });
    }
    steps.push_back([&] {
        meter->enter("idle");
        QTimer::singleShot(300, &app, advance);
    });

    QTimer::singleShot(0, &app, advance);
    app.exec();
    quitting = true;
    soundCard.join();

    const long long decoded =
        taln::frameCount(model.orig()) * static_cast<long long>(model.orig().size()) * 4;
    const long long peak = peakRssBytes();
    double worst = 0.0;
    double worstCpu = 0.0;
    const StallMeter::Step* worstStep = nullptr;
    const StallMeter::Step* worstCpuStep = nullptr;
    std::size_t over50 = 0;
    for (const auto& s : meter->steps()) {
        over50 += s.over50.size();
        if (s.maxGapMs > worst) {
            worst = s.maxGapMs;
            worstStep = &s;
        }
        if (s.maxCpuMs > worstCpu) {
            worstCpu = s.maxCpuMs;
            worstCpuStep = &s;
        }
    }
    std::printf("status=%d decoded_bytes=%lld peak_rss_bytes=%lld peak_rss_over_decoded=%.2f "
                "longest_stall_ms=%.1f longest_main_thread_cpu_in_one_gap_ms=%.1f "
                "stalls_over_50ms=%zu\n",
                status, decoded, peak, decoded > 0 ? double(peak) / double(decoded) : 0.0, worst,
                worstCpu, over50);
    if (worstStep != nullptr) {
        std::printf("longest stall: %.1f ms (%.1f ms of it main-thread CPU) in step '%s', after: "
                    "%s\n",
                    worstStep->maxGapMs, worstStep->maxGapCpuMs, worstStep->name.c_str(),
                    worstStep->cause.c_str());
    }
    if (worstCpuStep != nullptr) {
        std::printf("most main-thread work in one gap: %.1f ms in step '%s', after: %s\n",
                    worstCpuStep->maxCpuMs, worstCpuStep->name.c_str(),
                    worstCpuStep->cpuCause.c_str());
    }
    for (std::size_t i = 0; i < meter->steps().size(); ++i) {
        const auto& s = meter->steps()[i];
        const Done done = i < durations.size() ? durations[i] : Done{0.0, 0};
        std::printf("  step '%s': %.2f s, peak RSS so far %.2fx the decoded audio; longest gap "
                    "%.1f ms (%.1f ms CPU, after: %s); most CPU in a gap %.1f ms (after: %s); "
                    "gaps over 50 ms: %zu\n",
                    s.name.c_str(), done.seconds,
                    decoded > 0 ? double(done.peakRss) / double(decoded) : 0.0, s.maxGapMs,
                    s.maxGapCpuMs, s.cause.c_str(), s.maxCpuMs, s.cpuCause.c_str(),
                    s.over50.size());
    }
    return status;
}
