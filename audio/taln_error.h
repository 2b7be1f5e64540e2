#pragma once

// TalnError: the failures of reading a file that Taln detects by its own tests and that concern
// the file as a whole, each with the one line the user sees.
//
// Everything FFmpeg or the system reports (a file that cannot be opened, a read or write that
// fails), and Taln's own findings about a path (not a regular file, too long for the memory),
// travel as a FileError carrying the path and the code instead.
// A plain value: freely copied, equal exactly when the case is the same. Thrown and caught like
// any other exception; what() is the user's message.

#include <exception>

namespace taln {

class TalnError final : public std::exception {
public:
    enum Case : int {
        noAudio,  // no audio stream, or reading ended without a single frame
        notMedia, // a playlist, manifest, list or script that names or makes media
    };

    explicit TalnError(Case errorCase) noexcept : case_(errorCase) {}

    Case errorCase() const noexcept { return case_; }

    // The user's message for the case: a fixed English line ending in a full stop.
    const char* errorDescription() const noexcept;

    // The same text as errorDescription(), for whatever shows an exception's message.
    const char* what() const noexcept override { return errorDescription(); }

    friend bool operator==(const TalnError& a, const TalnError& b) noexcept {
        return a.case_ == b.case_;
    }

private:
    Case case_;
};

} // namespace taln
