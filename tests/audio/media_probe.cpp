#include "tests/audio/media_probe.h"

#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace taln::test {

std::string capture(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string out;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) {
        out.append(buffer, n);
    }
    const int status = pclose(pipe.release());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "failed: " << command;
    }
    return out;
}

std::string probeStreams(const std::filesystem::path& path, const std::string& entries) {
    return capture("ffprobe -v error -show_chapters -show_entries " + entries + " -of compact " +
                   shellQuote(path.string()));
}

std::string packetChecksumsWithout(const std::filesystem::path& path, int skipped) {
    return capture("ffmpeg -nostdin -v error -i " + shellQuote(path.string()) +
                   " -map 0 -map -0:" + std::to_string(skipped) + " -c copy -f framemd5 -");
}

double startSeconds(const std::filesystem::path& path, int index) {
    const std::string out =
        capture("ffprobe -v error -select_streams " + std::to_string(index) +
                " -show_entries stream=start_time -of csv=p=0 " + shellQuote(path.string()));
    return std::stod(out);
}

LoudnessReading measureLoudness(const std::filesystem::path& path) {
    // The filter prints its summary on stderr, at the end; framelog=verbose keeps its
    // per-frame lines out.
    const std::string out =
        capture("ffmpeg -nostdin -hide_banner -nostats -i " + shellQuote(path.string()) +
                " -af ebur128=peak=true:framelog=verbose -f null - 2>&1");
    // The summary's "I:" and "Peak:" lines are the last ones of their kind.
    auto valueAfter = [&out](const std::string& label) {
        const std::size_t at = out.rfind(label);
        return at == std::string::npos ? std::nan("")
                                       : std::strtod(out.c_str() + at + label.size(), nullptr);
    };
    LoudnessReading reading;
    reading.integrated = valueAfter("I:");
    reading.truePeak = valueAfter("Peak:");
    return reading;
}

Alignment bestAlignment(const Channels& a, const Channels& b, std::int64_t maxLag) {
    const Channel& x = *a.front();
    const Channel& y = *b.front();
    Alignment best{0, -2.0};
    for (std::int64_t lag = -maxLag; lag <= maxLag; ++lag) {
        double xy = 0.0;
        double xx = 0.0;
        double yy = 0.0;
        for (std::int64_t i = std::max<std::int64_t>(0, -lag);
             i < static_cast<std::int64_t>(x.size()) &&
             i + lag < static_cast<std::int64_t>(y.size());
             ++i) {
            const double u = x[static_cast<std::size_t>(i)];
            const double v = y[static_cast<std::size_t>(i + lag)];
            xy += u * v;
            xx += u * u;
            yy += v * v;
        }
        const double r = xx > 0.0 && yy > 0.0 ? xy / std::sqrt(xx * yy) : 0.0;
        if (r > best.correlation) {
            best = {lag, r};
        }
    }
    return best;
}

} // namespace taln::test
