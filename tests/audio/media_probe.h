#pragma once

// MediaProbe: what FFmpeg's own command-line tools say about a file, for tests that check
// written media against the tools users would check it with.

#include "audio/channels.h"

#include <filesystem>
#include <string>

namespace taln::test {

// The standard output of a shell command line (the test fails when it exits non-zero).
std::string capture(const std::string& command);

// `ffprobe` entries of every stream and the chapters, one line each (`entries` as for
// -show_entries).
std::string probeStreams(const std::filesystem::path& path, const std::string& entries);

// `ffmpeg -f framemd5` of every stream but stream `skipped`, copied as is: timestamps, sizes
// and checksums of every packet.
std::string packetChecksumsWithout(const std::filesystem::path& path, int skipped);

// A stream's start time in seconds as ffprobe reports it.
double startSeconds(const std::filesystem::path& path, int index);

// The ebur128 filter's summary of a file: integrated loudness (LUFS) and true peak (dBTP).
struct LoudnessReading {
    double integrated = 0.0;
    double truePeak = 0.0;
};
LoudnessReading measureLoudness(const std::filesystem::path& path);

// Normalised cross-correlation of `a` against `b` shifted by `lag` frames (a[i] against
// b[i + lag]) over the first channel, for every lag in -maxLag ... maxLag; the best one.
struct Alignment {
    std::int64_t lag = 0;
    double correlation = 0.0;
};
Alignment bestAlignment(const Channels& a, const Channels& b, std::int64_t maxLag);

} // namespace taln::test
