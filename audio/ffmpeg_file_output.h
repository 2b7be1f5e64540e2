#pragma once

// FfmpegFileOutput: the file an FFmpeg muxer writes, made safe for replacing a user's file.
//
// The muxer writes through an AVIOContext into a new temporary file in the destination's
// folder (".<name>.<random>.part", created exclusively, mode 0666 less the umask). Only
// commit() puts it in place: flush, fsync, then rename over the destination, which is
// atomic on one file system. Without a successful commit, the destructor removes the
// temporary file, so a failed export never touches an earlier file at the destination
// and never leaves a partial one behind.
// One thread at a time; owns the file descriptor, the AVIOContext and its buffer.

#include <cstdint>
#include <filesystem>

extern "C" {
#include <libavformat/avio.h>
}

namespace taln {

class FfmpegFileOutput {
public:
    // Creates the temporary file. std::runtime_error with the system's message on failure.
    explicit FfmpegFileOutput(std::filesystem::path destination);
    ~FfmpegFileOutput();
    FfmpegFileOutput(const FfmpegFileOutput&) = delete;
    FfmpegFileOutput& operator=(const FfmpegFileOutput&) = delete;

    // The context to hand to the muxer (AVFormatContext::pb); owned by this object.
    AVIOContext* context() const { return io_; }

    // Flushes and syncs the file and renames it over the destination. std::runtime_error
    // with the system's message when any write so far, the sync or the rename failed; the
    // temporary file is removed by the destructor then.
    void commit();

    // The temporary file's path (for tests of the clean-up).
    const std::filesystem::path& temporaryPath() const { return temporary_; }

private:
    static int writePacket(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);
    [[noreturn]] void fail(int errnum) const;

    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    int fd_ = -1;
    int firstError_ = 0; // the first errno of a failed write or seek
    AVIOContext* io_ = nullptr;
    bool committed_ = false;
};

} // namespace taln
