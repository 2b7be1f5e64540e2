#include "audio/spill_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

namespace taln {
namespace {

constexpr std::int64_t kStepFrames = 65536;

// Tries this many random names before giving up on naming the file.
constexpr int kNameAttempts = 64;

} // namespace

SpillFile::SpillFile(const std::filesystem::path& folder, int channelCount)
    : folder_(folder.empty() ? std::filesystem::path(".") : folder), channelCount_(channelCount) {
    fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::random_device seed;
        std::mt19937_64 random(seed());
        for (int attempt = 0; attempt < kNameAttempts && fd_ < 0; ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, ".taln-%08llx.spill",
                          static_cast<unsigned long long>(random() & 0xffffffffu));
            const auto path = folder_ / name;
            fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd_ >= 0) {
                ::unlink(path.c_str());
            } else if (errno != EEXIST) {
                break;
            }
        }
    }
    if (fd_ < 0) {
        fail(errno);
    }
    interleaved_.resize(static_cast<std::size_t>(kStepFrames * channelCount));
}

SpillFile::~SpillFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void SpillFile::fail(int errnum) const {
    throw std::runtime_error("cannot set audio aside in the folder '" + folder_.string() +
                             "': " + std::strerror(errnum));
}

void SpillFile::append(std::span<const float* const> channels, std::int64_t frames) {
    for (std::int64_t done = 0; done < frames; done += kStepFrames) {
        const std::int64_t n = std::min(kStepFrames, frames - done);
        for (int c = 0; c < channelCount_; ++c) {
            const float* source = channels[static_cast<std::size_t>(c)] + done;
            for (std::int64_t i = 0; i < n; ++i) {
                interleaved_[static_cast<std::size_t>(i * channelCount_ + c)] = source[i];
            }
        }
        const auto* bytes = reinterpret_cast<const char*>(interleaved_.data());
        auto left = static_cast<std::size_t>(n * channelCount_) * sizeof(float);
        while (left > 0) {
            const ssize_t written = ::write(fd_, bytes, left);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail(errno);
            }
            bytes += written;
            left -= static_cast<std::size_t>(written);
        }
    }
    frames_ += frames;
}

void SpillFile::readBack(const Sink& sink) {
    planar_.assign(static_cast<std::size_t>(channelCount_),
                   std::vector<float>(static_cast<std::size_t>(kStepFrames)));
    std::vector<const float*> pointers;
    for (const auto& channel : planar_) {
        pointers.push_back(channel.data());
    }
    const auto frameBytes = static_cast<std::int64_t>(sizeof(float)) * channelCount_;
    for (std::int64_t done = 0; done < frames_;) {
        const std::int64_t n = std::min(kStepFrames, frames_ - done);
        auto* bytes = reinterpret_cast<char*>(interleaved_.data());
        std::int64_t got = 0;
        while (got < n * frameBytes) {
            const ssize_t read =
                ::pread(fd_, bytes + got, static_cast<std::size_t>(n * frameBytes - got),
                        static_cast<off_t>(done * frameBytes + got));
            if (read < 0 && errno == EINTR) {
                continue;
            }
            if (read <= 0) {
                fail(read < 0 ? errno : EIO);
            }
            got += read;
        }
        for (int c = 0; c < channelCount_; ++c) {
            float* out = planar_[static_cast<std::size_t>(c)].data();
            for (std::int64_t i = 0; i < n; ++i) {
                out[i] = interleaved_[static_cast<std::size_t>(i * channelCount_ + c)];
            }
        }
        sink(pointers, n);
        done += n;
    }
}

} // namespace taln
