#include "audio/ffmpeg_error.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace taln {

std::string ffmpegErrorText(int errnum) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(errnum, text, sizeof text) < 0 || text[0] == '\0') {
        return "Unknown error";
    }
    return text;
}

std::string displayName(const std::filesystem::path& path) {
    auto name = path.filename();
    return name.empty() ? path.string() : name.string();
}

std::runtime_error ffmpegError(const std::filesystem::path& path, int errnum) {
    return std::runtime_error(displayName(path) + ": " + ffmpegErrorText(errnum));
}

void quietFfmpegLog() { av_log_set_level(AV_LOG_QUIET); }

} // namespace taln
