#include "audio/memory_bound.h"

#include "audio/audio_decoder.h"
#include "audio/file_error.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace taln::AudioDecoder {
namespace {

// Decimal units, as file managers show sizes: "5.2 GB", "12.3 MB".
std::string bytesText(std::int64_t bytes) {
    char text[32];
    if (bytes >= 1000000000) {
        std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    }
    return text;
}

} // namespace

void MemoryBound::check(std::int64_t frames, std::int64_t statedFrames, int channels) const {
    const auto needed = [&](std::int64_t count) {
        return count * channels * kBytesPerSample * kPeakFactor;
    };
    if (needed(frames) <= available_) {
        return;
    }
    if (statedFrames >= frames) {
        throw FileError(path_, FileError::kTooLong,
                        displayName(path_) + " is too long: it would need " +
                            bytesText(needed(statedFrames)) + " of memory; " +
                            bytesText(available_) + " are available.");
    }
    refuse();
}

void MemoryBound::checkCopy(std::int64_t bytes) const {
    if (bytes > available_) {
        refuse();
    }
}

void MemoryBound::refuse() const {
    throw FileError(path_, FileError::kTooLong,
                    displayName(path_) + " is too long: it would need more than the " +
                        bytesText(available_) + " of memory available.");
}

std::int64_t systemMemoryAvailable() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::int64_t kilobytes = 0;
    std::string unit;
    while (meminfo >> key >> kilobytes) {
        std::getline(meminfo, unit);
        if (key == "MemAvailable:") {
            return kilobytes * 1024;
        }
    }
    return INT64_MAX / (2 * kBytesPerSample * kPeakFactor * kMaxChannels);
}

} // namespace taln::AudioDecoder
