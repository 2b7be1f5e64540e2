#include "audio/wording.h"

extern "C" {
#include <libavutil/error.h>
}

#include <array>
#include <cerrno>

namespace taln::Wording {

namespace {

// The failures people meet most, by code, and what Taln says instead; %s is the file's name.
struct ReadFailure {
    int code;
    const char* before; // the sentence up to the name
    const char* after;  // and after it
};
const std::array kReadFailures{
    ReadFailure{AVERROR_INVALIDDATA, "", " isn't an audio or video file Taln can read"},
    ReadFailure{AVERROR(ENOENT), "", " can't be found; it may have been moved or deleted"},
    ReadFailure{AVERROR(EACCES), "Taln isn't allowed to read ", ""},
    ReadFailure{AVERROR(EISDIR), "", " is a folder, not a file"},
    ReadFailure{AVERROR_DECODER_NOT_FOUND, "", " holds audio in a format Taln can't decode"},
};

} // namespace

std::string readFailure(const FileError& error, const std::string& name) {
    for (const ReadFailure& failure : kReadFailures) {
        if (failure.code == error.code()) {
            return failure.before + name + failure.after + " (" + error.detail() + ")";
        }
    }
    return error.what();
}

std::string noVideo(const std::string& name) {
    return name + " has no video; write .m4a or .wav";
}

std::string doubtfulNoise() {
    return "The quietest parts of this recording are hardly quieter than the rest, so the noise "
           "Taln removes may include some of the voice or music.";
}

std::string humRemoved(std::span<const int> mainsHz) {
    if (mainsHz.empty()) {
        return {};
    }
    std::string text = "Hum " + std::to_string(mainsHz.front());
    for (std::size_t i = 1; i < mainsHz.size(); ++i) {
        text += " and " + std::to_string(mainsHz[i]);
    }
    return text + " Hz removed";
}

} // namespace taln::Wording
