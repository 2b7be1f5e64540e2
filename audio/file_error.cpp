#include "audio/file_error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace taln {

FileError::FileError(const std::filesystem::path& path, int code)
    : FileError(path, code, displayName(path) + ": " + errorText(code)) {}

FileError::FileError(const std::filesystem::path& path, int code, const std::string& message)
    : std::runtime_error(message), info_(std::make_shared<const Info>(Info{path, errorText(code)})),
      code_(code) {}

std::string errorText(int code) {
    switch (code) {
    case FileError::kNotRegularFile:
        return "Not a regular file";
    case FileError::kTooLong:
        return "Not enough memory";
    default:
        break;
    }
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, text, sizeof text) < 0 || text[0] == '\0') {
        return "Unknown error";
    }
    return text;
}

std::string displayName(const std::filesystem::path& path) {
    auto name = path.filename();
    return name.empty() ? path.string() : name.string();
}

} // namespace taln
