#include "audio/ffmpeg_file_output.h"

#include "audio/ffmpeg_error.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

namespace taln {
namespace {

// The muxers write in pieces of this size; large enough that the system call count of a
// one-hour WAV stays in the thousands.
constexpr int kBufferSize = 256 * 1024;

// Tries this many random names before giving up on creating the temporary file.
constexpr int kNameAttempts = 64;

std::runtime_error systemError(const std::filesystem::path& path, int errnum) {
    return std::runtime_error(displayName(path) + ": " + std::strerror(errnum));
}

} // namespace

FfmpegFileOutput::FfmpegFileOutput(std::filesystem::path destination)
    : destination_(std::move(destination)) {
    const auto folder = destination_.parent_path();
    const std::string name = destination_.filename().string();
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < kNameAttempts && fd_ < 0; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%08llx.part",
                      static_cast<unsigned long long>(random() & 0xffffffffu));
        temporary_ = folder / ("." + name + suffix);
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        const int errnum = errno;
        temporary_.clear();
        throw systemError(destination_, errnum);
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer) {
        io_ = avio_alloc_context(buffer, kBufferSize, 1, this, nullptr, &writePacket, &seek);
    }
    if (!io_) {
        av_free(buffer);
        ::close(fd_);
        ::unlink(temporary_.c_str());
        throw systemError(destination_, ENOMEM);
    }
}

FfmpegFileOutput::~FfmpegFileOutput() {
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!committed_ && !temporary_.empty()) {
        ::unlink(temporary_.c_str());
    }
}

int FfmpegFileOutput::writePacket(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<FfmpegFileOutput*>(opaque);
    int left = size;
    while (left > 0) {
        const ssize_t written = ::write(self->fd_, data, static_cast<std::size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (self->firstError_ == 0) {
                self->firstError_ = errno;
            }
            return AVERROR(errno);
        }
        data += written;
        left -= static_cast<int>(written);
    }
    return size;
}

std::int64_t FfmpegFileOutput::seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<FfmpegFileOutput*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) {
        struct stat info {};
        if (::fstat(self->fd_, &info) < 0) {
            return AVERROR(errno);
        }
        return info.st_size;
    }
    const off_t position = ::lseek(self->fd_, static_cast<off_t>(offset), whence);
    if (position < 0) {
        if (self->firstError_ == 0) {
            self->firstError_ = errno;
        }
        return AVERROR(errno);
    }
    return position;
}

void FfmpegFileOutput::fail(int errnum) const {
    throw systemError(destination_, errnum);
}

void FfmpegFileOutput::commit() {
    avio_flush(io_);
    if (firstError_ != 0) {
        fail(firstError_);
    }
    if (io_->error < 0) {
        throw ffmpegError(destination_, io_->error);
    }
    // Synced before the rename, so that a crash right after it cannot leave an empty file
    // where the user's earlier one was.
    if (::fsync(fd_) < 0) {
        fail(errno);
    }
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed < 0) {
        fail(errno);
    }
    if (::rename(temporary_.c_str(), destination_.c_str()) < 0) {
        fail(errno);
    }
    committed_ = true;
}

} // namespace taln
