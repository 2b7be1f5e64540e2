#include "cli/progress.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace taln::cli {

Progress::Progress(std::string name, bool loudness, Format format)
    : name_(std::move(name)), loudness_(loudness), format_(format),
      start_(std::chrono::steady_clock::now()) {}

void Progress::done(Step step) const {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string speed;
    if (seconds_ > 0.0 && elapsed > 0.0) {
        char text[48];
        std::snprintf(text, sizeof text, "  %.1fx real time", seconds_ / elapsed);
        speed = text;
    }
    const int percent = static_cast<int>(std::lround(100.0 * until(step) / until(Step::write)));
    // \r and "erase to the end of the line": the line is redrawn in place.
    std::fprintf(stderr, "\r\033[K%s  %3d%%%s%s", name_.c_str(), percent, speed.c_str(),
                 step == Step::write ? "\n" : "");
    std::fflush(stderr);
}

void Progress::clear() {
    std::fputs("\r\033[K", stderr);
}

double Progress::until(Step step) const {
    const double write = format_ == Format::wav ? 0.3 : format_ == Format::flac ? 1.5 : 13.0;
    const double steps[] = {0.0, 0.5, 1.8, loudness_ ? 2.3 : 0.0, write};
    double sum = 0.0;
    for (int i = 0; i <= static_cast<int>(step); ++i) {
        sum += steps[i];
    }
    return sum;
}

void warn(const Progress* progress, const std::string& who, const std::string& text) {
    if (progress) {
        Progress::clear();
    }
    std::fprintf(stderr, "taln-clean: warning: %s%s\n", who.c_str(), text.c_str());
}

} // namespace taln::cli
