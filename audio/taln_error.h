#pragma once

// TalnError: the failures of reading a file that Taln detects by its own tests, each with
// the one line the user sees.
//
// Only the decoder raises it. Everything FFmpeg or the system reports (a file that cannot
// be opened, a read or write that fails) travels as a std::runtime_error carrying their own
// message instead, never wrapped in a TalnError.
// A plain value: freely copied, equal exactly when the case is the same, hashed by the case
// index alone. Thrown and caught like any other exception; what() is the user's message.

#include <cstddef>
#include <exception>
#include <functional>

namespace taln {

class TalnError final : public std::exception {
public:
    // The cases in their fixed order; the value is the case index.
    enum Case : int {
        noAudio = 0,    // no audio stream, or reading ended without a single frame
        readFailed = 1, // reading failed and FFmpeg gave no reason of its own
        notMedia = 2,   // a playlist, manifest, list or script that names or makes media
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

template <> struct std::hash<taln::TalnError> {
    std::size_t operator()(const taln::TalnError& error) const noexcept {
        return std::hash<int>{}(static_cast<int>(error.errorCase()));
    }
};
