#include "audio/ffmpeg_input.h"

#include "audio/file_error.h"
#include "audio/taln_error.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace taln {
namespace {

// Demuxers that read other files or make media up rather than read it from the file: live
// and on-demand playlists and manifests, concat lists, image sequences, an IMF composition,
// session descriptions that open network streams, the binaural-beat synthesis script (43
// bytes claim 20 hours), text rendered as video, and the script-driven sources.
// One group of demuxers a line, kept by hand:
// clang-format off
constexpr std::string_view kRefusedDemuxers[] = {
    "hls", "dash", "webm_dash_manifest", "imf", // playlists, manifests, compositions
    "concat", "image2",                         // lists of files, image sequences
    "sdp", "rtsp", "rtp",                       // network streams
    "sbg", "lavfi", "avisynth", "vapoursynth",  // synthesis and scripts
    "tty", "bintext", "xbin", "adf", "idf",     // text rendered as video
};
// clang-format on

// True when `name` (FFmpeg's comma-separated list of a demuxer's names) holds a refused one.
bool isRefusedDemuxer(std::string_view name) {
    while (!name.empty()) {
        const std::size_t comma = name.find(',');
        const std::string_view part = name.substr(0, comma);
        if (std::find(std::begin(kRefusedDemuxers), std::end(kRefusedDemuxers), part) !=
            std::end(kRefusedDemuxers)) {
            return true;
        }
        name = comma == std::string_view::npos ? std::string_view() : name.substr(comma + 1);
    }
    return false;
}

// Every file a demuxer asks to open besides the one given (a playlist's segments, a
// manifest's representations, a movie's external data references) is refused; the refusal
// is noted so that the file is reported as one Taln does not read, whatever the demuxer makes
// of the failed open.
int refuseNestedOpen(AVFormatContext* context, AVIOContext**, const char*, int, AVDictionary**) {
    if (context && context->opaque) {
        *static_cast<bool*>(context->opaque) = true;
    }
    return AVERROR(EPERM);
}

// See the header: once, before the first file is read.
void capFfmpegAllocations() {
    static std::once_flag once;
    std::call_once(once, [] { av_max_alloc(kMaxFfmpegBlock); });
}

} // namespace

// The one file read: opened here (not by FFmpeg), checked to be a regular file, and handed
// to FFmpeg as its I/O context.
class FfmpegInput::File {
public:
    explicit File(const std::filesystem::path& path) : File(openPath(path), path) {}

    // Takes `fd`, an open file descriptor, and reads it from its start.
    File(int fd, const std::filesystem::path& name) : path_(name), fd_(fd) {
        struct stat info {};
        if (::fstat(fd_, &info) < 0) {
            fail(AVERROR(errno));
        }
        if (const int refused = refusal(info); refused < 0) {
            fail(refused);
        }
        // FFmpeg calls an empty file an "Invalid argument"; the user learns more from being
        // told there is no audio in it.
        if (info.st_size == 0) {
            ::close(fd_);
            throw TalnError(TalnError::noAudio);
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        if (::lseek(fd_, 0, SEEK_SET) < 0) {
            fail(AVERROR(errno));
        }
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
        if (buffer) {
            io_ = avio_alloc_context(buffer, kBufferSize, 0, this, &readPacket, nullptr, &seek);
        }
        if (!io_) {
            av_free(buffer);
            fail(AVERROR(ENOMEM));
        }
    }

    ~File() {
        if (io_) {
            av_freep(&io_->buffer);
            avio_context_free(&io_);
        }
        ::close(fd_);
    }

    File(const File&) = delete;
    File& operator=(const File&) = delete;

    AVIOContext* context() const { return io_; }

private:
    static constexpr int kBufferSize = 64 * 1024;

    static int openPath(const std::filesystem::path& path) {
        // A device is not even opened (opening one may do something); what the path names
        // once open is checked again.
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            if (const int refused = refusal(info); refused < 0) {
                throw FileError(path, refused);
            }
        }
        // O_NONBLOCK: opening a named pipe waits for a writer that may never come.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            throw FileError(path, AVERROR(errno));
        }
        return fd;
    }

    // Why a file of this kind is not read, as a FileError's code; 0 for a regular file. A
    // device, pipe or socket is no recording and may never end (/dev/zero).
    static int refusal(const struct stat& info) {
        if (S_ISDIR(info.st_mode)) {
            return AVERROR(EISDIR);
        }
        return S_ISREG(info.st_mode) ? 0 : FileError::kNotRegularFile;
    }

    [[noreturn]] void fail(int errnum) {
        ::close(fd_);
        throw FileError(path_, errnum);
    }

    static int readPacket(void* opaque, std::uint8_t* data, int size) {
        const int fd = static_cast<File*>(opaque)->fd_;
        for (;;) {
            const ssize_t got = ::read(fd, data, static_cast<std::size_t>(size));
            if (got > 0) {
                return static_cast<int>(got);
            }
            if (got == 0) {
                return AVERROR_EOF;
            }
            if (errno != EINTR) {
                return AVERROR(errno);
            }
        }
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        const int fd = static_cast<File*>(opaque)->fd_;
        whence &= ~AVSEEK_FORCE;
        if (whence == AVSEEK_SIZE) {
            struct stat info {};
            return ::fstat(fd, &info) < 0 ? AVERROR(errno) : info.st_size;
        }
        const off_t position = ::lseek(fd, static_cast<off_t>(offset), whence);
        return position < 0 ? AVERROR(errno) : position;
    }

    std::filesystem::path path_;
    int fd_ = -1;
    AVIOContext* io_ = nullptr;
};

FfmpegInput::FfmpegInput(const std::filesystem::path& path) {
    capFfmpegAllocations();
    file_ = std::make_unique<File>(path);
    open(path);
}

FfmpegInput::FfmpegInput(int fd, const std::filesystem::path& name) {
    capFfmpegAllocations();
    file_ = std::make_unique<File>(fd, name);
    open(name);
}

void FfmpegInput::open(const std::filesystem::path& path) {
    const std::string url = path.string();
    const AVInputFormat* format = nullptr;
    const int score = av_probe_input_buffer2(file_->context(), &format, url.c_str(), nullptr, 0, 0);
    if (score < 0) {
        throw FileError(path, score);
    }
    if (isRefusedDemuxer(format->name)) {
        throw TalnError(TalnError::notMedia);
    }
    // A format chosen below this score is a guess (FFmpeg retries a longer probe for one): its
    // demuxer's failure says that the file is not of that format, not what went wrong in it.
    const auto failure = [&](int errnum) {
        throwIfNestedOpen();
        return FileError(path, score < AVPROBE_SCORE_RETRY ? AVERROR_INVALIDDATA : errnum);
    };
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) {
        throw FileError(path, AVERROR(ENOMEM));
    }
    raw->pb = file_->context();
    raw->opaque = &nestedOpenRefused_;
    raw->io_open = &refuseNestedOpen;
    // No protocol either, for the demuxers that open URLs without io_open (and the nested
    // contexts that inherit the list): "none" names no protocol.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "none", 0);
    // WAV is read 4 KiB a packet by default: a 10-minute stereo file is then 26,000 packets,
    // each a trip through the decoder and the converter. 16 KiB packets save about a tenth of
    // the decoding; larger ones (64 KiB and up) cost more than they save, as the converted
    // samples no longer stay in the cache. Other demuxers ignore the option.
    av_dict_set(&options, "max_size", "16384", 0);
    // A 16-bit WAV's samples are also searched for another codec labelled as PCM (MP3 inside
    // a WAV header): every such demuxer's probe runs over the first 32 packets, again each time
    // they pass a power of two, 26 ms of the 57 ms a 10-minute WAV takes to decode. Two packets
    // (32 KiB, some 75 MP3 frames) decide as well.
    if (std::string_view(format->name) == "wav") {
        av_dict_set(&options, "probesize", "32768", 0);
    }
    const int ret = avformat_open_input(&raw, url.c_str(), format, &options);
    av_dict_free(&options);
    if (ret < 0) {
        throw failure(ret);
    }
    format_.reset(raw);
    const int infoRet = avformat_find_stream_info(raw, nullptr);
    throwIfNestedOpen();
    if (infoRet < 0) {
        throw failure(infoRet);
    }
}

FfmpegInput::~FfmpegInput() = default;

void FfmpegInput::throwIfNestedOpen() const {
    if (nestedOpenRefused_) {
        throw TalnError(TalnError::notMedia);
    }
}

} // namespace taln
