#pragma once

// MemoryBound: the decoder's bound on the decoded audio (see AudioDecoder's header): the audio,
// times kPeakFactor, must fit in the memory available. A refusal is a FileError with code
// FileError::kTooLong whose message names the file, what the audio would need (the
// container's duration when it says so, otherwise at least what is decoded) and what is
// available: "take.m4a is too long: it would need 5.2 GB of memory; 3.1 GB are available."
// Any thread; the bound is a value.

#include <cstdint>
#include <filesystem>

namespace taln::AudioDecoder {

// Bytes one decoded frame takes per channel (32-bit float).
inline constexpr std::int64_t kBytesPerSample = 4;

class MemoryBound {
public:
    // `path` names the file in messages and must outlive the bound.
    MemoryBound(const std::filesystem::path& path, std::int64_t available)
        : path_(path), available_(available) {}

    // Throws when `frames` frames of `channels` channels would need more than the memory
    // available; `statedFrames`, when at least `frames`, is what the refusal says they need.
    void check(std::int64_t frames, std::int64_t statedFrames, int channels) const;

    // Throws when a copy of `bytes` bytes held in memory exceeds the memory available.
    void checkCopy(std::int64_t bytes) const;

private:
    [[noreturn]] void refuse() const;

    const std::filesystem::path& path_;
    std::int64_t available_;
};

// MemAvailable from /proc/meminfo in bytes: what the system can give without swapping.
// Without it (no /proc), no bound: the limit is then the system's own.
std::int64_t systemMemoryAvailable();

} // namespace taln::AudioDecoder
