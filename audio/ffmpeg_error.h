#pragma once

// FFmpeg's return codes turned into the exceptions the audio file code throws: a FileError that
// names the file and carries the code (what(): "take.m4a: Invalid data found when processing
// input"), never a bare number. Any thread; no state.

#include "audio/file_error.h"

#include <filesystem>

namespace taln {

// Throws FileError(path, ret) when `ret`, an FFmpeg return value, is an error (negative).
inline void check(int ret, const std::filesystem::path& path) {
    if (ret < 0) {
        throw FileError(path, ret);
    }
}

// Keeps FFmpeg from printing its own notes on stderr (damaged packets, guessed durations):
// Taln reports what matters to the user through its errors. Programs call it once at start.
void quietFfmpegLog();

} // namespace taln
