// taln-model-bench: loads one file through TalnModel, without a window, and prints what the
// window's user waits for and what the process holds:
//   - seconds from load() to the file's installation (the waveform appears),
//   - seconds from load() to the end of the first cleaning (every piece in),
//   - the process's peak resident memory against the size of the decoded audio;
// and with --then PERCENT, what a strength change costs while the file plays from its middle
// on the real sound output (SDL; its `dummy` driver unless SDL_AUDIODRIVER says otherwise,
// which pulls buffers at the pace of a sound card):
//   - first_audible_s: from load() to the first output buffer carrying cleaned samples,
//   - then_audible_s: from the strength assignment to the first output buffer carrying samples
//     of the new cleaning (the 0.15 s rest every change waits for included),
//   - then_complete_s: from the assignment to the end of that cleaning,
//   - second_peak_rss_over_decoded: the peak resident memory while it ran (the peak is reset
//     at the assignment where the system allows it) over the decoded audio.
//
//   taln-model-bench [--strength PERCENT] [--then PERCENT] INPUT
//
// key=value pairs on stdout, one line per phase; exit status 1 when the load fails.

#include "audio/audio_output.h"
#include "model/process_start.h"
#include "model/taln_model.h"
#include "tests/support/manual_output.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <sys/resource.h>

namespace {

// Peak resident set size of this process so far, in bytes: VmHWM, which resetPeakRss() can
// lower to the present, else getrusage's lifetime peak.
long long peakRssBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long long kb = 0;
            status >> kb;
            return kb * 1024;
        }
        status.ignore(1 << 12, '\n');
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<long long>(usage.ru_maxrss) * 1024;
}

// Lowers the peak to the present resident size (Linux 4.0 and later); false where refused.
bool resetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}

// The sound output, counting the buffers it starts to render: a cleaned piece handed to the
// player while it plays is taken up at the start of the next buffer (Player::replaceClean), so
// the first buffer begun after a piece is published is the moment it becomes audible.
class CountingOutput : public taln::AudioOutput {
public:
    explicit CountingOutput(std::unique_ptr<taln::AudioOutput> output)
        : output_(std::move(output)) {}

    std::optional<std::string> start(RenderFn render, void* user, int sampleRate) override {
        render_ = render;
        user_ = user;
        return output_->start(&CountingOutput::render, this, sampleRate);
    }
    void stop() override { output_->stop(); }
    bool isRunning() const override { return output_->isRunning(); }

    // Buffers begun so far; any thread.
    std::uint64_t begun() const { return begun_.load(std::memory_order_acquire); }

private:
    // The output's thread: no allocation, no lock.
    static void render(void* self, float* out, std::int64_t frames) {
        auto* counting = static_cast<CountingOutput*>(self);
        counting->begun_.fetch_add(1, std::memory_order_acq_rel);
        counting->render_(counting->user_, out, frames);
    }

    std::unique_ptr<taln::AudioOutput> output_;
    RenderFn render_ = nullptr;
    void* user_ = nullptr;
    std::atomic<std::uint64_t> begun_{0};
};

constexpr std::chrono::milliseconds kSettle{500};

double seconds(const QElapsedTimer& clock) {
    return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    // The real output path, at a sound card's pace, with no sound card.
    ::setenv("SDL_AUDIODRIVER", "dummy", 0);
    QCoreApplication app(argc, argv);
    // As the window does: the memory of replaced pieces given back, measured FFT plans.
    taln::ProcessStart::prepare();
    const QStringList args = app.arguments();
    double strength = 60.0;
    double then = -1.0;
    QString input;
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--strength") && i + 1 < args.size()) {
            strength = args[++i].toDouble();
        } else if (args[i] == QLatin1String("--then") && i + 1 < args.size()) {
            then = args[++i].toDouble();
        } else {
            input = args[i];
        }
    }
    if (input.isEmpty()) {
        std::fprintf(stderr,
                     "Usage: taln-model-bench [--strength PERCENT] [--then PERCENT] INPUT\n");
        return 2;
    }

    const long long baselineRss = peakRssBytes();
    const bool playing = then >= 0.0;
    auto counting = std::make_unique<CountingOutput>(
        playing ? taln::makeSdlOutput() : std::make_unique<taln::ManualOutput>());
    const CountingOutput& output = *counting;
    taln::TalnModel model(nullptr, std::move(counting));
    model.setStrength(strength);

    QElapsedTimer clock;
    double installedAt = -1.0;
    double firstAudibleAt = -1.0;
    double thenAudibleAt = -1.0;
    bool changed = false;
    // Buffers begun when the first piece of the first cleaning, and of the one after the change,
    // was handed to the player.
    std::optional<std::uint64_t> firstPiece;
    std::optional<std::uint64_t> thenPiece;
    long long decodedBytes = 0;
    int results = 0;
    int status = 0;

    QObject::connect(&model, &taln::TalnModel::cleanedReplaced, &app, [&] {
        if (!model.isPlaying()) {
            return;
        }
        auto& piece = changed ? thenPiece : firstPiece;
        if (!piece) {
            piece = output.begun();
        }
    });
    // Polls the output for the buffer that takes the piece up; a millisecond is far below the
    // bars.
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        const std::uint64_t begun = output.begun();
        if (firstAudibleAt < 0.0 && firstPiece && begun > *firstPiece) {
            firstAudibleAt = seconds(clock);
        }
        if (thenAudibleAt < 0.0 && thenPiece && begun > *thenPiece) {
            thenAudibleAt = seconds(clock);
        }
    });

    QObject::connect(&model, &taln::TalnModel::isLoadingChanged, &app, [&] {
        if (model.isLoading()) {
            return;
        }
        if (model.orig().empty()) {
            std::fprintf(stderr, "taln-model-bench: %s\n",
                         model.errorMessage().toUtf8().constData());
            status = 1;
            app.quit();
            return;
        }
        installedAt = seconds(clock);
        for (const auto& channel : model.orig()) {
            decodedBytes += static_cast<long long>(channel->size() * sizeof(float));
        }
        if (playing) {
            model.seek(0.5);
            model.togglePlay();
            if (!model.isPlaying()) {
                std::fprintf(stderr, "taln-model-bench: %s\n",
                             model.errorMessage().toUtf8().constData());
                status = 1;
                app.quit();
                return;
            }
            poll.start();
        }
    });
    QObject::connect(&model, &taln::TalnModel::isProcessingChanged, &app, [&] {
        if (model.isProcessing() || model.orig().empty()) {
            return;
        }
        const double resultAt = seconds(clock);
        const long long rss = peakRssBytes();
        const double over = static_cast<double>(rss) / static_cast<double>(decodedBytes);
        if (++results == 1) {
            std::printf("channels=%zu seconds=%.1f decoded_bytes=%lld load_to_install_s=%.3f "
                        "load_to_first_result_s=%.3f baseline_rss_bytes=%lld peak_rss_bytes=%lld "
                        "peak_rss_over_decoded=%.2f",
                        model.orig().size(), model.duration(), decodedBytes, installedAt, resultAt,
                        baselineRss, rss, over);
            if (!playing) {
                std::printf("\n");
                app.quit();
                return;
            }
            std::printf(" first_audible_s=%.3f\n", firstAudibleAt);
            std::fflush(stdout);
            // The change comes once the output has taken up the last piece (within a buffer,
            // 23 ms), so that only the new cleaning's pieces count as heard.
            QTimer::singleShot(kSettle, &app, [&] {
                const bool reset = resetPeakRss();
                if (!reset) {
                    std::fprintf(stderr, "taln-model-bench: the peak memory could not be "
                                         "reset; the second peak is the process's\n");
                }
                changed = true;
                clock.restart();
                model.setStrength(then);
            });
            return;
        }
        // The last piece may still be on its way to the output: wait for it to be heard.
        const auto report = [&, resultAt, rss, over] {
            std::printf("then_audible_s=%.3f then_complete_s=%.3f second_peak_rss_bytes=%lld "
                        "second_peak_rss_over_decoded=%.2f position_s=%.1f\n",
                        thenAudibleAt, resultAt, rss, over, model.position());
            app.quit();
        };
        if (thenAudibleAt >= 0.0) {
            report();
        } else {
            auto* wait = new QTimer(&app);
            QObject::connect(wait, &QTimer::timeout, &app, [&, wait, report] {
                if (thenAudibleAt >= 0.0 || seconds(clock) > 60.0) {
                    wait->stop();
                    report();
                }
            });
            wait->start(1);
        }
    });

    QTimer::singleShot(0, &app, [&] {
        clock.start();
        model.load(input);
    });
    const int rc = app.exec();
    return status != 0 ? status : rc;
}
