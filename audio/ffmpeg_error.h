#pragma once

// Turning FFmpeg's and the system's error codes into the exceptions the audio file code
// throws: a std::runtime_error whose message is the file's name and FFmpeg's or the
// system's own text ("take.m4a: Invalid data found when processing input"), never a number.
// Any thread; no state.

#include <filesystem>
#include <stdexcept>
#include <string>

namespace taln {

// FFmpeg's own text for an AVERROR code (system errors come out as strerror's text).
std::string ffmpegErrorText(int errnum);

// The name shown to the user for `path`: its last component, or the whole path when it
// has none.
std::string displayName(const std::filesystem::path& path);

// "<name>: <FFmpeg's text for errnum>".
std::runtime_error ffmpegError(const std::filesystem::path& path, int errnum);

// Keeps FFmpeg from printing its own notes on stderr (damaged packets, guessed durations):
// Taln reports what matters to the user through its errors. Programs call it once at start.
void quietFfmpegLog();

} // namespace taln
