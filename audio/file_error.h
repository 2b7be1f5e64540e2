#pragma once

// FileError: a failure of reading or writing a file, as FFmpeg or the system reported it or as
// Taln found it, carried across the layers with the file's path and its code. Whoever words it
// for people (Wording::readFailure) decides by the code, never by the text, so the wording holds
// under any system language.
//
// Codes are FFmpeg's: negative, a system error as AVERROR(errno) (-errno), FFmpeg's own as its
// tagged codes (AVERROR_INVALIDDATA). Taln's own failures (kNotRegularFile, kTooLong) are tagged
// the same way, with tags FFmpeg does not use.
// what() is "<name>: <detail>": the file's name (displayName) and the text for the code
// (av_strerror, which gives the system's strerror text, in its language, for a system code), or
// a line of the thrower's own ("take.m4a is too long: it would need 5.2 GB of memory; ...").
//
// A plain value, cheap to copy (the path and texts are shared); any thread.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace taln {

// A code in FFmpeg's tagged form, -(a | b << 8 | c << 16 | d << 24), as AVERROR_INVALIDDATA is.
constexpr int taggedErrorCode(char a, char b, char c, char d) {
    return -static_cast<int>(std::uint32_t(std::uint8_t(a)) | std::uint32_t(std::uint8_t(b)) << 8 |
                             std::uint32_t(std::uint8_t(c)) << 16 |
                             std::uint32_t(std::uint8_t(d)) << 24);
}

class FileError : public std::runtime_error {
public:
    // A named pipe, socket or device: no recording, and reading one may never end.
    static constexpr int kNotRegularFile = taggedErrorCode('T', 'l', 'N', 'R');
    // The decoded audio would need more memory than there is (AudioDecoder's memory bound).
    static constexpr int kTooLong = taggedErrorCode('T', 'l', 'L', 'G');

    // what(): "<name>: <the text for code>".
    FileError(const std::filesystem::path& path, int code);
    // what(): `message`, a line of the thrower's own.
    FileError(const std::filesystem::path& path, int code, const std::string& message);

    const std::filesystem::path& path() const noexcept { return info_->path; }
    int code() const noexcept { return code_; }
    // The text for the code (errorText), whatever what() says.
    const std::string& detail() const noexcept { return info_->detail; }

private:
    struct Info {
        std::filesystem::path path;
        std::string detail;
    };
    std::shared_ptr<const Info> info_;
    int code_;
};

// FFmpeg's or the system's text for `code` ("Invalid data found when processing input", "No
// such file or directory"); Taln's for its own codes ("Not a regular file").
std::string errorText(int code);

// The name shown to the user for `path`: its last component, or the whole path when it has
// none.
std::string displayName(const std::filesystem::path& path);

} // namespace taln
