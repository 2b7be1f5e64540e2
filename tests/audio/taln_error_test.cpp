#include "audio/taln_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_set>

namespace taln {
namespace {

TEST(TalnError, MessagesAreTheUsersExactLines) {
    EXPECT_STREQ(TalnError(TalnError::noAudio).what(), "That file doesn't contain an audio track.");
    EXPECT_STREQ(TalnError(TalnError::readFailed).what(), "The audio could not be read.");
    EXPECT_STREQ(TalnError(TalnError::notMedia).what(),
                 "That file isn't an audio or video file Taln can read.");
    EXPECT_STREQ(TalnError(TalnError::noAudio).errorDescription(),
                 TalnError(TalnError::noAudio).what());
}

TEST(TalnError, EqualByCaseAndHashedByCaseIndex) {
    EXPECT_EQ(TalnError(TalnError::noAudio), TalnError(TalnError::noAudio));
    EXPECT_NE(TalnError(TalnError::noAudio), TalnError(TalnError::readFailed));
    const std::hash<TalnError> hash;
    EXPECT_EQ(hash(TalnError(TalnError::noAudio)), std::hash<int>{}(0));
    EXPECT_EQ(hash(TalnError(TalnError::readFailed)), std::hash<int>{}(1));
    const std::unordered_set<TalnError> set{TalnError(TalnError::noAudio),
                                            TalnError(TalnError::noAudio),
                                            TalnError(TalnError::readFailed)};
    EXPECT_EQ(set.size(), 2u);
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

} // namespace
} // namespace taln
