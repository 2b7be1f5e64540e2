// The player with its output pulling on a thread of its own, as a sound device does, while
// the main thread starts, stops, switches and replaces versions. Run under ThreadSanitizer
// too (TALN_SANITIZE=thread): the hand-over must be free of data races.

#include "audio/player.h"
#include "tests/player/test_tracks.h"
#include "tests/support/manual_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace taln {
namespace {

using test::classify;
using test::Heard;
using test::track;

TEST(PlayerThreadsTest, DeviceThreadOnlyEverHearsOneWholeVersionFrame) {
    auto out = std::make_unique<ManualOutput>();
    ManualOutput* output = out.get();
    Player player(std::move(out));
    const std::int64_t n = 20000;
    player.load(track(n, false), track(n, true), 44100.0);

    std::atomic<bool> done{false};
    std::atomic<std::int64_t> badFrames{0};
    std::atomic<std::int64_t> heardFrames{0};
    std::atomic<std::int64_t> pulls{0};
    std::thread device([&] {
        std::vector<float> buffer(2 * 256);
        while (!done.load()) {
            output->pull(buffer.data(), 256);
            pulls.fetch_add(1);
            for (std::size_t i = 0; i < 256; ++i) {
                const Heard h = classify(buffer[2 * i], buffer[2 * i + 1]);
                // Both gains change together: never both versions at once, never a half frame.
                if (h.kind == Heard::other || h.frame >= n) {
                    badFrames.fetch_add(1);
                } else if (h.kind != Heard::silence) {
                    heardFrames.fetch_add(1);
                }
            }
        }
    });

    // Each step waits for two device buffers, so the tracks get past the 2,205-frame lead
    // between restarts whatever the scheduling.
    for (int round = 0; round < 700; ++round) {
        const std::int64_t target = pulls.load() + 2;
        while (pulls.load() < target) {
            std::this_thread::yield();
        }
        switch (round % 7) {
        case 0:
            EXPECT_FALSE(player.start(round % n));
            break;
        case 1:
        case 4:
            player.setListening(round % 2 == 0 ? Player::Listening::original
                                               : Player::Listening::cleaned);
            break;
        case 2:
            // Versions of equal samples: a crossfade between them is heard as one version.
            player.replaceClean(track(n, true));
            break;
        case 3:
            EXPECT_GE(player.currentTime(), 0.0);
            player.releaseRetired();
            break;
        case 5:
            if (round % 5 == 0) {
                player.stop();
            }
            break;
        default:
            std::this_thread::yield();
            break;
        }
    }
    // A load stops the output while the device thread keeps pulling.
    player.load(track(n, false), {}, 44100.0);
    EXPECT_FALSE(player.start(0));

    done.store(true);
    device.join();
    EXPECT_EQ(badFrames.load(), 0);
    EXPECT_GT(heardFrames.load(), 0);
}

} // namespace
} // namespace taln
