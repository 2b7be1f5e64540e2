// taln-model-bench: loads one file through TalnModel, without a window or a sound card, and
// prints what the window's user waits for and what the process holds:
//   - seconds from load() to the file's installation (the waveform appears),
//   - seconds from load() to the first published cleaning result (the cleaned lane appears),
//   - the process's peak resident memory against the size of the decoded audio;
// and with --then PERCENT, the same for a second cleaning at that strength, which runs while
// the first result is still held (the steady state of a user moving the slider).
//
//   taln-model-bench [--strength PERCENT] [--then PERCENT] INPUT
//
// One line of key=value pairs on stdout; exit status 1 when the load fails.

#include "audio/manual_output.h"
#include "model/taln_model.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/resource.h>

namespace {

// Peak resident set size of this process so far, in bytes (Linux reports kilobytes).
long long peakRssBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<long long>(usage.ru_maxrss) * 1024;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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
    taln::TalnModel model(nullptr, std::make_unique<taln::ManualOutput>());
    model.setStrength(strength);

    QElapsedTimer clock;
    double installedAt = -1.0;
    int results = 0;
    int status = 0;
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
        installedAt = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    });
    QObject::connect(&model, &taln::TalnModel::isProcessingChanged, &app, [&] {
        if (model.isProcessing() || model.orig().empty()) {
            return;
        }
        const double resultAt = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        long long decodedBytes = 0;
        for (const auto& channel : model.orig()) {
            decodedBytes += static_cast<long long>(channel->size() * sizeof(float));
        }
        const long long rss = peakRssBytes();
        if (++results == 1) {
            std::printf("channels=%zu seconds=%.1f decoded_bytes=%lld load_to_install_s=%.3f "
                        "load_to_first_result_s=%.3f baseline_rss_bytes=%lld peak_rss_bytes=%lld "
                        "peak_rss_over_decoded=%.2f\n",
                        model.orig().size(), model.duration(), decodedBytes, installedAt, resultAt,
                        baselineRss, rss,
                        static_cast<double>(rss) / static_cast<double>(decodedBytes));
            if (then >= 0.0) {
                std::fflush(stdout);
                // The time includes the 0.15 s rest every strength change waits for.
                QTimer::singleShot(0, &app, [&] {
                    clock.restart();
                    model.setStrength(then);
                });
                return;
            }
        } else {
            std::printf("second_result_s=%.3f second_peak_rss_bytes=%lld "
                        "second_peak_rss_over_decoded=%.2f\n",
                        resultAt, rss,
                        static_cast<double>(rss) / static_cast<double>(decodedBytes));
        }
        app.quit();
    });

    QTimer::singleShot(0, &app, [&] {
        clock.start();
        model.load(input);
    });
    const int rc = app.exec();
    return status != 0 ? status : rc;
}
