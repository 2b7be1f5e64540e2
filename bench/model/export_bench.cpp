// taln-export-bench: the window's exports of a ten-minute stereo recording at 44.1 kHz (speech-
// like bursts over noise), written through ExportTask::write as the window writes them, plain
// and normalised to -16 LUFS, each export in a process of its own: the wall time (median of the
// runs, the exports interleaved in every round) and the peak resident memory the export adds to
// what the process held before it (the recording). The normalised/plain ratios come from the
// same run.
//   normalised:  the export measures the loudness first (no measurement kept yet);
//   premeasured: it plans from the measurement TrackLoudness takes in the background once a
//                cleaning completes (that measurement's own cost printed as "measure").
//
//   taln-export-bench [--runs N] [--video SOURCE] [--only NAME] [--keep] WORK_FOLDER
//
// SOURCE: a video whose sound is to be replaced (bench_export.sh makes a ten-minute one); the
// video exports are left out without it. NAME: that export alone (for a profiler).
// --keep: the files stay in WORK_FOLDER, named after their exports (to compare two builds').

#include "audio/loudness.h"
#include "model/export_task.h"
#include "tests/engine/test_signals.h"

#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace taln;
using Kind = AudioExporter::Kind;

constexpr int kRate = 44100;
constexpr std::int64_t kFrames = 10LL * 60 * kRate;

struct Sample {
    double seconds = 0.0;
    double cpuSeconds = 0.0; // user and system: steadier than the wall time on a busy machine
    double addedMiB = 0.0;   // peak resident memory beyond what the process held at the start
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long maxRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Runs `work` in a child process; its wall time and the peak memory it added.
Sample inChild(const std::function<void()>& work) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const long before = maxRssKiB();
        const double cpuBefore = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        try {
            work();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "export failed: %s\n", e.what());
            status = 1;
        }
        Sample s;
        s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        s.cpuSeconds = cpuSeconds() - cpuBefore;
        s.addedMiB = static_cast<double>(maxRssKiB() - before) / 1024.0;
        if (write(fds[1], &s, sizeof s) != static_cast<ssize_t>(sizeof s)) {
            status = 1;
        }
        _exit(status);
    }
    close(fds[1]);
    Sample s;
    const bool read = ::read(fds[0], &s, sizeof s) == static_cast<ssize_t>(sizeof s);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "taln-export-bench: a child failed\n");
        std::exit(1);
    }
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

} // namespace

int main(int argc, char** argv) {
    int runs = 5;
    QString video;
    std::string only;
    bool keep = false;
    std::filesystem::path folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--video" && i + 1 < argc) {
            video = QString::fromLocal8Bit(argv[++i]);
        } else {
            folder = arg;
        }
    }
    if (folder.empty()) {
        std::fprintf(stderr, "usage: taln-export-bench [--runs N] [--video SOURCE] FOLDER\n");
        return 2;
    }
    std::filesystem::create_directories(folder);

    // The recording, as the cleaned track holds it: chunks.
    Channels channels;
    for (std::uint32_t seed : {2024u, 2025u}) {
        channels.push_back(
            std::make_shared<Channel>(testsignals::speechLike(kFrames, kRate, seed)));
    }
    const ChunkedAudio audio = ChunkedAudio::fromChannels(channels);
    channels.clear();
    const AudioFormat format{kRate, 0x3, SampleDepth::int16};
    const auto measured = std::make_shared<const Loudness::Measurement>(
        Loudness::measure(audio, format, PassProgress({}, audio.frameCount())));

    struct Export {
        std::string name;
        Kind kind;
        bool video;
        bool normalise;
        bool premeasured;
    };
    std::vector<Export> exports;
    const std::vector<std::pair<std::string, Kind>> kinds = {{"wav", Kind::wav},
                                                             {"m4a", Kind::m4a}};
    for (const auto& [name, kind] : kinds) {
        exports.push_back({name, kind, false, false, false});
        exports.push_back({name + "_normalised", kind, false, true, false});
        exports.push_back({name + "_premeasured", kind, false, true, true});
    }
    if (!video.isEmpty()) {
        exports.push_back({"video", Kind::m4a, true, false, false});
        exports.push_back({"video_normalised", Kind::m4a, true, true, false});
        exports.push_back({"video_premeasured", Kind::m4a, true, true, true});
    }

    if (!only.empty()) {
        std::erase_if(exports, [&](const Export& e) { return e.name != only; });
    }
    std::map<std::string, std::vector<Sample>> samples;
    for (int run = 0; run < runs; ++run) {
        if (only.empty() || only == "measure") {
            samples["measure"].push_back(inChild(
                [&] { Loudness::measure(audio, format, PassProgress({}, audio.frameCount())); }));
        }
        for (const Export& e : exports) {
            ExportTask::Options options;
            options.format = format;
            options.normaliseLoudness = e.normalise;
            options.measured = e.premeasured ? measured : nullptr;
            options.videoSource = e.video ? video : QString();
            const std::string extension = e.video ? "mp4" : e.name.substr(0, 3);
            const std::filesystem::path path =
                folder / ((keep ? e.name : std::string("export-bench")) + "." + extension);
            samples[e.name].push_back(
                inChild([&] { ExportTask::write(audio, e.kind, path, options, {}); }));
            if (!keep) {
                std::filesystem::remove(path);
            }
        }
    }

    auto seconds = [&](const std::string& name, bool cpu = false) {
        std::vector<double> v;
        for (const Sample& s : samples[name]) {
            v.push_back(cpu ? s.cpuSeconds : s.seconds);
        }
        return median(v);
    };
    auto added = [&](const std::string& name) {
        double most = 0.0;
        for (const Sample& s : samples[name]) {
            most = std::max(most, s.addedMiB);
        }
        return most;
    };
    const double held = static_cast<double>(maxRssKiB()) / 1024.0;
    std::printf("%d runs; the process holds %.0f MiB (the recording) before each export\n", runs,
                held);
    std::printf("%-20s %9s %9s %12s\n", "export", "median_s", "cpu_s", "added_MiB");
    for (const auto& [name, list] : samples) {
        std::printf("%-20s %9.3f %9.3f %12.1f\n", name.c_str(), seconds(name), seconds(name, true),
                    added(name));
    }
    if (!only.empty()) {
        return 0;
    }
    std::printf("ratios normalised/plain (bars: time 2.0, peak memory 1.3):\n");
    for (const std::string plain : {"wav", "m4a", "video"}) {
        if (samples.count(plain) == 0) {
            continue;
        }
        for (const std::string way : {"_normalised", "_premeasured"}) {
            const std::string name = plain + way;
            const double time = seconds(name) / seconds(plain);
            const double cpu = seconds(name, true) / seconds(plain, true);
            const double memory = (held + added(name)) / (held + added(plain));
            std::printf("%-20s time %5.2f %-4s (cpu %5.2f) peak memory %5.2f %-4s "
                        "(added %.1f vs %.1f MiB)\n",
                        name.c_str(), time, time <= 2.0 ? "ok" : "OVER", cpu, memory,
                        memory <= 1.3 ? "ok" : "OVER", added(name), added(plain));
        }
    }
    return 0;
}
