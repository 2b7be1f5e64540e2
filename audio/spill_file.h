#pragma once

// SpillFile: audio set aside on disk between two passes over it, so that a recording made
// once (cleaned) can be measured as it is made and written afterwards without being held in
// memory: taln-clean's normalised export measures the cleaned audio while it spills it, then
// reads it back through the normaliser into the file.
//
// The file is unnamed (O_TMPFILE) in the folder given, so nothing is left behind whatever ends
// the process; where the file system cannot make unnamed files, it is made under a hidden name
// and unlinked at once. Samples are stored as they are (32-bit float, interleaved), 4 bytes
// per sample: 212 MB for ten minutes of stereo at 44.1 kHz, which the page cache mostly keeps.
// Memory: 65,536 frames of interleaved scratch.
// One thread at a time. Errors: std::runtime_error with the system's message.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <vector>

namespace taln {

class SpillFile {
public:
    using Sink = std::function<void(std::span<const float* const> channels, std::int64_t frames)>;

    // An empty file in `folder` for `channelCount` channels (1 to 8).
    SpillFile(const std::filesystem::path& folder, int channelCount);
    ~SpillFile();
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    // Appends `frames` frames: channels[c] points at channel c's samples.
    void append(std::span<const float* const> channels, std::int64_t frames);

    // Hands `sink` everything appended, in order, in stretches of up to 65,536 frames.
    void readBack(const Sink& sink);

    std::int64_t frames() const { return frames_; }

private:
    [[noreturn]] void fail(int errnum) const;

    std::filesystem::path folder_;
    int fd_ = -1;
    int channelCount_;
    std::int64_t frames_ = 0;
    std::vector<float> interleaved_;
    std::vector<std::vector<float>> planar_;
};

} // namespace taln
