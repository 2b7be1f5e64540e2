#pragma once

// FfmpegInput: one media file opened for FFmpeg's demuxers, which read that file and nothing
// else.
//
// The file must be a regular file (a device such as /dev/zero or a named pipe never ends): a
// path is checked before it is opened and again once open, the one check every reader of a
// file goes through. It is opened here, not by FFmpeg, and handed to the demuxer as its I/O
// context. Every further open a demuxer asks for (a playlist's segments, a manifest's
// representations, a movie's external data references) is refused, and so are the demuxers that
// chain or synthesise media (playlists, manifests, concat lists, image sequences, synthesis
// scripts, network descriptions): a playlist saved as "x.mp3" must not make Taln read the files it
// names. The decoder and the video exporter read their files through it.
//
// FFmpeg's allocations are capped at kMaxFfmpegBlock (256 MiB) a block, set once for the
// process when the first file is opened (av_max_alloc; FFmpeg's default is 2 GiB). A demuxer
// trusts sizes a file states: a 420-byte WAV whose LIST/INFO chunk claims 1.6 GB had FFmpeg
// allocate and clear all of it before failing, 1.6 GB and 3 to 8 s. The largest blocks real
// files need are far smaller: the index of a day of 60 fps MP4 video, 5.2 million entries of
// 24 bytes, is 125 MB; a decoded audio frame is a few megabytes; the decoded audio itself is
// Taln's own (std::vector), bounded by the decoder's memory bound, not by this cap. One fixed
// cap rather than one per file, since the setting is the process's: it is written once
// (std::call_once) by the first FfmpegInput before it reads, and every later one, on any
// thread, waits for that write; concurrent decodes and exports all see the same value.
//
// Thread contract: one thread at a time per object; any number of objects at once.
// Owns the file descriptor, the I/O context and the format context; neither copied nor
// moved (FFmpeg holds pointers into it).
// Errors: TalnError::noAudio for an empty file, TalnError::notMedia for a refused demuxer
// or nested open; otherwise a FileError with the path and FFmpeg's or the system's code
// (AVERROR(EISDIR) for a folder), or FileError::kNotRegularFile for a pipe, socket or device
// ("zero.sw: Not a regular file"). A file whose format FFmpeg only guessed
// (its extension, or a weak match of its first bytes) and that the guessed demuxer then
// cannot open reads as "notes.mp3: Invalid data found when processing input", as other
// files that are no media do, not as the demuxer's own complaint ("Invalid argument").

#include "audio/ffmpeg_handles.h"

#include <cstddef>
#include <filesystem>
#include <memory>

namespace taln {

// The most FFmpeg may allocate in one block (see above).
inline constexpr std::size_t kMaxFfmpegBlock = std::size_t{256} << 20;

class FfmpegInput {
public:
    // Opens `path`, probes its format and reads its stream information.
    explicit FfmpegInput(const std::filesystem::path& path);
    // Reads the open file `fd` (from its start; this object closes it), called `name` in
    // messages; the same checks and refusals as a path.
    FfmpegInput(int fd, const std::filesystem::path& name);
    ~FfmpegInput();
    FfmpegInput(const FfmpegInput&) = delete;
    FfmpegInput& operator=(const FfmpegInput&) = delete;

    AVFormatContext* format() const { return format_.get(); }

    // TalnError::notMedia when a demuxer asked to open another file since the last call:
    // for callers that read packets after opening.
    void throwIfNestedOpen() const;

private:
    void open(const std::filesystem::path& name);

    class File;
    std::unique_ptr<File> file_;
    InputFormatPtr format_; // closed before the file
    bool nestedOpenRefused_ = false;
};

} // namespace taln
