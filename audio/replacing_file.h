#pragma once

// ReplacingFile: the file an FFmpeg muxer writes, replacing a user's file only once complete
// (an atomic replacement of the destination).
//
// The muxer writes through an AVIOContext into a new file in the destination's folder that
// has no name yet (O_TMPFILE), so that nothing is left behind whatever ends the process,
// SIGKILL included. Where the file system cannot make unnamed files, the file is created
// under a hidden name of fixed length (".taln-<8 hex digits>.part", 19 bytes, so that any
// destination name the system accepts still works), mode 0666 less the umask. Only commit()
// puts it in place: flush, fsync, take the mode and owner of the file being replaced (owner
// where permitted), give the unnamed file a hidden name, then rename over the destination,
// which is atomic on one file system. Without a successful commit, the destructor removes
// the file, so a failed export never touches an earlier file at the destination and never
// leaves a partial one behind.
//
// A pipe (standard output) is written in order instead, through the same context: the muxer
// sees an output it cannot seek in, and writes what it writes for pipes (a WAV's sizes as
// 0xFFFFFFFF, a FLAC without its total length, a fragmented MP4). There is no replacing then:
// commit() only flushes, and a failed export leaves behind what it wrote.
//
// While an export runs, its named temporary file (if any) is listed in a fixed table that a
// signal handler may clear with removeTemporaryFiles(): a program that ends on SIGINT,
// SIGTERM or SIGHUP calls it from its handler before _exit().
// One thread at a time per object; owns the file descriptor, the AVIOContext and its buffer,
// and from the first 4 MiB a thread that syncs the file in the background.

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>

extern "C" {
#include <libavformat/avio.h>
}

namespace taln {

// Where an export goes: a file, replaced only when complete, or a pipe: a descriptor the
// caller keeps open (standard output), written in order and never sought in.
class Destination {
public:
    // The file at `path`.
    Destination(std::filesystem::path path) : path_(std::move(path)) {}

    // Descriptor `fd`, named in messages as "standard output" (1) or "descriptor N".
    static Destination pipe(int fd);

    bool isPipe() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // The file's path; for a pipe, the name messages give it.
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

class ReplacingFile {
public:
    // Creates the temporary file (for a pipe, nothing). FileError with the system's code on
    // failure.
    explicit ReplacingFile(const Destination& destination);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // The context to hand to the muxer (AVFormatContext::pb); owned by this object.
    AVIOContext* context() const { return io_; }

    // Whether the output is a pipe (the context cannot seek).
    bool isPipe() const { return pipe_; }

    // Flushes and syncs the file and renames it over the destination. FileError with the
    // system's code when any write so far, the sync or the rename failed; the temporary file is
    // removed by the destructor then.
    void commit();

    // Unlinks the named temporary files of every export in progress in this process.
    // Async-signal-safe (only atomics and unlink()): for SIGINT, SIGTERM and SIGHUP handlers.
    static void removeTemporaryFiles() noexcept;

    // Makes each of `which` (SIGINT, SIGTERM, SIGHUP: those that end a program) remove the
    // named temporary files and end the process at once with 128 + the signal's number, as a
    // shell reports a command it ended; an unnamed temporary file vanishes by itself. Ignores
    // SIGXFSZ, so that a write beyond the file-size limit fails with "File too large" instead
    // of ending the process without a word and leaving the partial file behind. Call once,
    // early, from the main thread.
    static void endOnSignals(std::initializer_list<int> which);

    // Checks, before any long work, that a file can be made in `destination`'s folder (the
    // current folder when it names none): the folder exists, is a folder, and takes a new
    // file. FileError for the folder otherwise, its message naming it: "cannot write to the
    // folder 'exports': No such file or directory".
    static void checkFolder(const std::filesystem::path& destination);

private:
    static int writePacket(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);
    [[noreturn]] void fail(int errnum) const;
    void openNamed(const std::filesystem::path& folder);
    void linkUnnamed();
    void takeModeOfDestination();

    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    int fd_ = -1;
    int slot_ = -1;      // this export's entry in the table of temporary files, -1 when none
    int firstError_ = 0; // the first errno of a failed write or seek
    // Bytes written since the file was last synced in the background (see Syncer).
    static constexpr std::int64_t kSyncBytes = 4 << 20;
    std::int64_t unsynced_ = 0;
    struct Syncer;
    std::unique_ptr<Syncer> syncer_;
    AVIOContext* io_ = nullptr;
    bool committed_ = false;
    bool pipe_ = false;
    int pipeFd_ = -1; // the pipe's descriptor, which the caller owns
};

} // namespace taln
