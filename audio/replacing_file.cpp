#include "audio/replacing_file.h"

#include "audio/file_error.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

namespace taln {
namespace {

// The muxers write in pieces of this size; large enough that the system call count of a
// one-hour WAV stays in the thousands.
constexpr int kBufferSize = 256 * 1024;

// Tries this many random names before giving up on naming the temporary file.
constexpr int kNameAttempts = 64;

FileError systemError(const std::filesystem::path& path, int errnum) {
    return FileError(path, AVERROR(errnum));
}

std::filesystem::path folderOf(const std::filesystem::path& destination) {
    const auto folder = destination.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

// A hidden name of fixed length in `folder`: 19 bytes whatever the destination's name, so
// that a destination of up to NAME_MAX bytes can be written.
std::filesystem::path temporaryName(const std::filesystem::path& folder, std::mt19937_64& random) {
    char name[24];
    std::snprintf(name, sizeof name, ".taln-%08llx.part",
                  static_cast<unsigned long long>(random() & 0xffffffffu));
    return folder / name;
}

// The table of named temporary files that a signal handler removes. Fixed storage and
// lock-free atomics only, so that removeTemporaryFiles() is async-signal-safe; a slot is
// filled while marked kFilling and read by the handler only when kListed. Sixteen exports at
// once is more than any Taln program runs; an export beyond them is simply not listed.
constexpr int kSlots = 16;
constexpr std::size_t kPathBytes = 4096;
enum SlotState : int { kFree = 0, kFilling = 1, kListed = 2 };
struct Slot {
    std::atomic<int> state{kFree};
    char path[kPathBytes];
};
Slot gTemporaryFiles[kSlots];
static_assert(std::atomic<int>::is_always_lock_free);

int listTemporary(const std::filesystem::path& path) {
    const std::string& text = path.native();
    if (text.size() >= kPathBytes) {
        return -1;
    }
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (gTemporaryFiles[i].state.compare_exchange_strong(expected, kFilling)) {
            std::memcpy(gTemporaryFiles[i].path, text.c_str(), text.size() + 1);
            gTemporaryFiles[i].state.store(kListed);
            return i;
        }
    }
    return -1;
}

void unlistTemporary(int& slot) {
    if (slot >= 0) {
        gTemporaryFiles[slot].state.store(kFree);
        slot = -1;
    }
}

// True when open(O_TMPFILE) failed because the system or the file system cannot make
// unnamed files (rather than for want of the folder or the right to write in it).
bool unnamedFilesUnsupported(int errnum) {
    return errnum == EOPNOTSUPP || errnum == EISDIR || errnum == EINVAL;
}

std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace

void ReplacingFile::removeTemporaryFiles() noexcept {
    for (Slot& slot : gTemporaryFiles) {
        if (slot.state.load() == kListed) {
            ::unlink(slot.path);
        }
    }
}

void ReplacingFile::checkFolder(const std::filesystem::path& destination) {
    const auto folder = folderOf(destination);
    const auto refuse = [&](int errnum) {
        throw FileError(folder, AVERROR(errnum),
                        "cannot write to the folder '" + folder.string() +
                            "': " + errorText(AVERROR(errnum)));
    };
    struct stat info {};
    if (::stat(folder.c_str(), &info) < 0) {
        refuse(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        refuse(ENOTDIR);
    }
    // Making an unnamed file is the real test (a read-only mount refuses even root);
    // access() stands in where unnamed files cannot be made.
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    if (!unnamedFilesUnsupported(errno)) {
        refuse(errno);
    }
    if (::access(folder.c_str(), W_OK | X_OK) < 0) {
        refuse(errno);
    }
}

Destination Destination::pipe(int fd) {
    Destination destination(fd == STDOUT_FILENO
                                ? std::filesystem::path("standard output")
                                : std::filesystem::path("descriptor " + std::to_string(fd)));
    destination.fd_ = fd;
    return destination;
}

ReplacingFile::ReplacingFile(const Destination& destination) : destination_(destination.path()) {
    if (destination.isPipe()) {
        // Not ours to close: the destructor leaves it open (fd_ stays -1).
        pipe_ = true;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
        if (buffer) {
            io_ = avio_alloc_context(buffer, kBufferSize, 1, this, nullptr, &writePacket, nullptr);
        }
        if (!io_) {
            av_free(buffer);
            throw systemError(destination_, ENOMEM);
        }
        pipeFd_ = destination.fd();
        return;
    }
    const auto folder = folderOf(destination_);
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    // The unnamed file is given its name at commit through /proc; without /proc it is
    // made with a name from the start.
    if (fd_ >= 0 && ::access(procPath(fd_).c_str(), F_OK) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) {
        openNamed(folder);
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer) {
        io_ = avio_alloc_context(buffer, kBufferSize, 1, this, nullptr, &writePacket, &seek);
    }
    if (!io_) {
        av_free(buffer);
        ::close(fd_);
        if (!temporary_.empty()) {
            ::unlink(temporary_.c_str());
        }
        unlistTemporary(slot_);
        throw systemError(destination_, ENOMEM);
    }
}

void ReplacingFile::openNamed(const std::filesystem::path& folder) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < kNameAttempts && fd_ < 0; ++attempt) {
        temporary_ = temporaryName(folder, random);
        // Listed before it exists, so that a signal right after the open still removes it.
        unlistTemporary(slot_);
        slot_ = listTemporary(temporary_);
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        const int errnum = errno;
        temporary_.clear();
        unlistTemporary(slot_);
        throw systemError(destination_, errnum);
    }
}

// Syncs the file on a thread of its own, every kSyncBytes, while the export goes on: the disk
// then writes the file as it is made, and the sync before the rename waits for the last few
// megabytes and the journal instead of the whole file (0.09 s for a 10-minute stereo WAV here,
// where asking the kernel to start writing back early saves almost nothing). Every 4 MiB
// rather than 8 halves that wait again (0.014 s to 0.007 s after a 10-minute mono WAV). The
// thread only waits on the disk. A failed sync is kept for commit(): the kernel reports a
// write-back error to one sync only.
struct ReplacingFile::Syncer {
    explicit Syncer(int file) : fd(file), thread([this] { run(); }) {}

    ~Syncer() {
        {
            const std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }

    Syncer(const Syncer&) = delete;
    Syncer& operator=(const Syncer&) = delete;

    void request() {
        {
            const std::lock_guard lock(mutex);
            requested = true;
        }
        wake.notify_one();
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return requested || stopping; });
            if (stopping) {
                return;
            }
            requested = false;
            lock.unlock();
            if (::fdatasync(fd) < 0 && error.load() == 0) {
                error.store(errno);
            }
            lock.lock();
        }
    }

    int fd;
    std::mutex mutex;
    std::condition_variable wake;
    bool requested = false;
    bool stopping = false;
    std::atomic<int> error{0};
    std::thread thread; // last: the members it uses exist before it starts
};

ReplacingFile::~ReplacingFile() {
    syncer_.reset();
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
    unlistTemporary(slot_);
}

int ReplacingFile::writePacket(void* opaque, std::uint8_t* data, int size) {
    auto* self = static_cast<ReplacingFile*>(opaque);
    const int fd = self->pipe_ ? self->pipeFd_ : self->fd_;
    int left = size;
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<std::size_t>(left));
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
    self->unsynced_ += size;
    if (self->unsynced_ >= kSyncBytes && !self->pipe_) {
        self->unsynced_ = 0;
        if (!self->syncer_) {
            self->syncer_ = std::make_unique<Syncer>(self->fd_);
        }
        self->syncer_->request();
    }
    return size;
}

std::int64_t ReplacingFile::seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<ReplacingFile*>(opaque);
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

void ReplacingFile::fail(int errnum) const {
    throw systemError(destination_, errnum);
}

// A replaced file keeps its mode (a private 0600 recording stays private) and, where the
// system permits (root, or the same owner), its owner and group.
void ReplacingFile::takeModeOfDestination() {
    struct stat info {};
    if (::stat(destination_.c_str(), &info) < 0 || !S_ISREG(info.st_mode)) {
        return;
    }
    struct stat own {};
    if (::fstat(fd_, &own) == 0 && (own.st_uid != info.st_uid || own.st_gid != info.st_gid)) {
        // Refused (EPERM) for another's file when not root: the new file stays ours.
        if (::fchown(fd_, info.st_uid, info.st_gid) < 0) {
            (void)::fchown(fd_, static_cast<uid_t>(-1), info.st_gid);
        }
    }
    if (::fchmod(fd_, info.st_mode & 07777) < 0) {
        fail(errno);
    }
}

// Gives the unnamed file a hidden name in the destination's folder (a link cannot replace
// an existing file; the rename that follows does).
void ReplacingFile::linkUnnamed() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    const auto folder = folderOf(destination_);
    const std::string source = procPath(fd_);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary_ = temporaryName(folder, random);
        unlistTemporary(slot_);
        slot_ = listTemporary(temporary_);
        if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, temporary_.c_str(), AT_SYMLINK_FOLLOW) ==
            0) {
            return;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    const int errnum = errno;
    temporary_.clear();
    unlistTemporary(slot_);
    fail(errnum);
}

void ReplacingFile::commit() {
    avio_flush(io_);
    if (firstError_ != 0) {
        fail(firstError_);
    }
    if (io_->error < 0) {
        throw FileError(destination_, io_->error);
    }
    if (pipe_) {
        committed_ = true;
        return;
    }
    if (syncer_) {
        const int failed = syncer_->error.load();
        syncer_.reset();
        if (failed != 0) {
            fail(failed);
        }
    }
    takeModeOfDestination();
    // Synced before the rename, so that a crash right after it cannot leave an empty file
    // where the user's earlier one was.
    if (::fsync(fd_) < 0) {
        fail(errno);
    }
    if (temporary_.empty()) {
        linkUnnamed();
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
    unlistTemporary(slot_);
}

namespace {

extern "C" void removeTemporaryFilesAndEnd(int signal) {
    ReplacingFile::removeTemporaryFiles();
    _exit(128 + signal);
}

} // namespace

void ReplacingFile::endOnSignals(std::initializer_list<int> which) {
    struct sigaction action {};
    action.sa_handler = &removeTemporaryFilesAndEnd;
    sigemptyset(&action.sa_mask);
    // One signal's handler is not interrupted by another's.
    for (const int signal : which) {
        sigaddset(&action.sa_mask, signal);
    }
    for (const int signal : which) {
        sigaction(signal, &action, nullptr);
    }
    ::signal(SIGXFSZ, SIG_IGN);
}

} // namespace taln
