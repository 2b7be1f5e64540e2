// ChunkedAudio: chunks that point into the buffers they came from, tables replaced by
// copy-on-write, and frames read back across chunk boundaries.

#include "audio/chunked_audio.h"
#include "tests/player/test_tracks.h"
#include "tests/support/chunked_copies.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace taln {
namespace {

using test::makeVersion;

constexpr std::int64_t K = kChunkFrames;
constexpr std::int64_t kFrames = 2 * K + K / 2; // two whole chunks and a short last one

TEST(ChunkedAudioTest, ChunksPointIntoTheDecodedBuffersAndKeepThemAlive) {
    Channels channels = makeVersion(kFrames, false);
    const ChunkedAudio audio = ChunkedAudio::fromChannels(channels);
    ASSERT_EQ(audio.channelCount(), 2);
    ASSERT_EQ(audio.frameCount(), kFrames);
    ASSERT_EQ(audio.chunkCount(), 3);
    EXPECT_EQ(audio.chunkFrames(2), K / 2);
    for (int c = 0; c < 2; ++c) {
        for (std::int64_t i = 0; i < 3; ++i) {
            EXPECT_EQ(audio.chunkData(c, i), channels[c]->data() + i * K) << c << " " << i;
        }
    }

    // The chunks alone keep the buffers: dropping the decoder's Channels frees nothing.
    const std::weak_ptr<const Channel> left = channels[0];
    channels.clear();
    EXPECT_FALSE(left.expired());
    EXPECT_EQ(audio.chunkData(0, 1)[5], test::origLeft(K + 5));
}

TEST(ChunkedAudioTest, WithPieceReplacesOnlyItsChunksAndLeavesTheOldTableAlone) {
    const ChunkedAudio orig = ChunkedAudio::fromChannels(makeVersion(kFrames, false));
    struct Case {
        std::int64_t first;
        std::int64_t pieceFrames; // after the skipped frames
        int channels;
        bool fits;
        std::int64_t skip = 0;
    };
    const Case cases[] = {
        {1, K, 2, true},         // one whole chunk in the middle
        {1, K + K / 2, 2, true}, // to the end, the last chunk short
        {0, kFrames, 2, true},   // the whole track
        {0, K / 2, 2, false},    // short of a chunk, not at the end
        {2, K, 2, false},        // past the end
        {3, K / 2, 2, false},    // a chunk that does not exist
        {1, K, 1, false},        // a channel missing
        {0, 0, 2, false},        // nothing
    };
    for (const Case& c : cases) {
        const Channels piece = makeVersion(c.skip + c.pieceFrames, true, c.channels);
        if (!c.fits) {
            EXPECT_ANY_THROW((void)orig.withPiece(c.first, piece, c.skip))
                << c.first << " " << c.pieceFrames;
            continue;
        }
        const ChunkedAudio cleaned = orig.withPiece(c.first, piece, c.skip);
        const std::int64_t last = c.first + ChunkedAudio::chunksFor(c.pieceFrames);
        for (int ch = 0; ch < 2; ++ch) {
            for (std::int64_t i = 0; i < orig.chunkCount(); ++i) {
                const bool replaced = i >= c.first && i < last;
                const float* expected =
                    replaced ? piece[ch]->data() + (i - c.first) * K : orig.chunkData(ch, i);
                EXPECT_EQ(cleaned.chunkData(ch, i), expected) << c.first << " " << i;
            }
        }
        EXPECT_EQ(orig.chunkData(0, c.first)[0], test::origLeft(c.first * K)); // not written
        EXPECT_FALSE(test::sharesAllChunks(cleaned, orig));
    }
}

TEST(ChunkedAudioTest, SpansReadFramesAcrossChunkBoundaries) {
    const ChunkedAudio audio = ChunkedAudio::fromChannels(makeVersion(kFrames, false));
    struct Range {
        std::int64_t from;
        std::int64_t to;
        int spans;
    };
    const Range ranges[] = {
        {10, 20, 1}, {K - 3, K + 4, 2}, {K - 1, 2 * K + 1, 3}, {0, kFrames, 3}, {K, K, 0},
    };
    for (const Range& r : ranges) {
        int spans = 0;
        std::int64_t next = r.from;
        audio.forEachSpan(1, r.from, r.to, [&](const float* s, std::int64_t n, std::int64_t at) {
            EXPECT_EQ(at, next);
            for (std::int64_t k = 0; k < n; ++k) {
                ASSERT_EQ(s[k], test::origRight(at + k)) << at + k;
            }
            next += n;
            ++spans;
        });
        EXPECT_EQ(next, r.to);
        EXPECT_EQ(spans, r.spans) << r.from << " " << r.to;
    }
    const auto none = [](const float*, std::int64_t, std::int64_t) {};
    EXPECT_THROW(audio.forEachSpan(0, kFrames - 1, kFrames + 1, none), std::out_of_range);
    EXPECT_THROW(audio.forEachSpan(2, 0, 1, none), std::out_of_range);
    EXPECT_THROW(audio.forEachSpan(0, 5, 4, none), std::out_of_range);
}

} // namespace
} // namespace taln
