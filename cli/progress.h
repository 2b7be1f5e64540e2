#pragma once

// The progress of one file on a terminal: a line redrawn in place on stderr, "name  45%  12.3x
// real time" (the audio's length over the time taken so far), ended when the file is done; and
// taln-clean's warnings, each on a line of its own.
//
// The percentage moves at the end of each step by the step's share of the time, as measured on a
// 10-minute stereo recording of speech over noise (2 threads): decoding 0.5 s, cleaning 1.8 s,
// loudness 2.3 s, writing WAV 0.3 s, FLAC 1.5 s, encoding AAC or Opus 13 s.
// Thread: the one that runs the file's steps.

#include "cli/options.h"

#include <chrono>
#include <string>

namespace taln::cli {

// The steps of cleaning one file, in order.
enum class Step { start, decode, clean, loudness, write };

class Progress {
public:
    Progress(std::string name, bool loudness, Format format);

    // Called once the length of the audio is known.
    void setSeconds(double seconds) { seconds_ = seconds; }

    // Shows the line as it stands at the end of `step`.
    void done(Step step) const;

    // Clears an unfinished line, so that an error is printed on a line of its own.
    static void clear();

private:
    // The measured seconds of the steps up to the end of `step`.
    double until(Step step) const;

    std::string name_;
    bool loudness_;
    Format format_;
    double seconds_ = 0.0;
    std::chrono::steady_clock::time_point start_;
};

// One warning line on stderr, "taln-clean: warning: <who><text>", on a line of its own (the
// progress line, if any, cleared first).
void warn(const Progress* progress, const std::string& who, const std::string& text);

} // namespace taln::cli
