#pragma once

// FfmpegInput: one media file opened for FFmpeg's demuxers, which read that file and nothing
// else.
//
// The file must be a regular file (a device such as /dev/zero or a named pipe never ends);
// it is opened here, not by FFmpeg, and handed to the demuxer as its I/O context. Every
// further open a demuxer asks for (a playlist's segments, a manifest's representations, a
// movie's external data references) is refused, and so are the demuxers that chain or
// synthesise media (playlists, manifests, concat lists, image sequences, synthesis scripts,
// network descriptions): a playlist saved as "x.mp3" must not make Taln read the files it
// names. The decoder and the video exporter read their files through it.
//
// Thread contract: one thread at a time per object; any number of objects at once.
// Owns the file descriptor, the I/O context and the format context; neither copied nor
// moved (FFmpeg holds pointers into it).
// Errors: TalnError::noAudio for an empty file, TalnError::notMedia for a refused demuxer
// or nested open; otherwise a std::runtime_error with the file's name and FFmpeg's or the
// system's message ("zero.sw: Not a regular file").

#include "audio/ffmpeg_handles.h"

#include <filesystem>
#include <memory>

namespace taln {

class FfmpegInput {
public:
    // Opens `path`, probes its format and reads its stream information.
    explicit FfmpegInput(const std::filesystem::path& path);
    ~FfmpegInput();
    FfmpegInput(const FfmpegInput&) = delete;
    FfmpegInput& operator=(const FfmpegInput&) = delete;

    AVFormatContext* format() const { return format_.get(); }

    // TalnError::notMedia when a demuxer asked to open another file since the last call:
    // for callers that read packets after opening.
    void throwIfNestedOpen() const;

private:
    class File;
    std::unique_ptr<File> file_;
    InputFormatPtr format_; // closed before the file
    bool nestedOpenRefused_ = false;
};

} // namespace taln
