#include "audio/file_error.h"
#include "audio/taln_error.h"
#include "audio/wording.h"

extern "C" {
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace taln {
namespace {

TEST(TalnError, MessagesAreTheUsersExactLines) {
    EXPECT_STREQ(TalnError(TalnError::noAudio).what(), "That file doesn't contain an audio track.");
    EXPECT_STREQ(TalnError(TalnError::notMedia).what(),
                 "That file isn't an audio or video file Taln can read.");
    EXPECT_STREQ(TalnError(TalnError::noAudio).errorDescription(),
                 TalnError(TalnError::noAudio).what());
    EXPECT_EQ(TalnError(TalnError::noAudio), TalnError(TalnError::noAudio));
    EXPECT_NE(TalnError(TalnError::noAudio), TalnError(TalnError::notMedia));
}

TEST(TalnError, CaughtAsAnyExceptionWithItsMessage) {
    try {
        throw TalnError(TalnError::noAudio);
    } catch (const std::exception& error) {
        EXPECT_EQ(std::string(error.what()), "That file doesn't contain an audio track.");
        return;
    }
    FAIL() << "not caught as std::exception";
}

// The wording goes by the code alone: an error whose message is in another language (as
// strerror's is under a translated locale) is worded all the same.
TEST(Wording, ReadFailuresAreWordedByTheirCodeWhateverTheirText) {
    struct Case {
        int code;
        const char* sentence; // empty: the error's own message
    };
    const Case cases[] = {
        {AVERROR_INVALIDDATA, "a.txt isn't an audio or video file Taln can read"},
        {AVERROR(ENOENT), "a.txt can't be found; it may have been moved or deleted"},
        {AVERROR(EACCES), "Taln isn't allowed to read a.txt"},
        {AVERROR(EISDIR), "a.txt is a folder, not a file"},
        {AVERROR_DECODER_NOT_FOUND, "a.txt holds audio in a format Taln can't decode"},
        {FileError::kNotRegularFile, ""},
        {AVERROR(EIO), ""},
    };
    for (const Case& c : cases) {
        const FileError error("/music/a.txt", c.code, "a.txt: Datei unlesbar");
        const std::string expected = *c.sentence == '\0'
                                         ? std::string("a.txt: Datei unlesbar")
                                         : c.sentence + (" (" + errorText(c.code) + ")");
        EXPECT_EQ(Wording::readFailure(error, "a.txt"), expected);
    }
    EXPECT_STREQ(FileError("/music/a.txt", AVERROR(ENOENT)).what(),
                 "a.txt: No such file or directory");
}

// The hum label names each mains frequency once, joined with "and", whatever lines of it the
// notches hold; nothing for none.
TEST(Wording, HumRemovedNamesEachMainsFrequency) {
    struct Case {
        std::vector<int> mainsHz;
        const char* label;
    };
    const Case cases[] = {
        {{}, ""},
        {{50}, "Hum 50 Hz removed"},
        {{50, 60}, "Hum 50 and 60 Hz removed"},
        {{300}, "Hum 300 Hz removed"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Wording::humRemoved(c.mainsHz), c.label) << c.label;
    }
}

} // namespace
} // namespace taln
