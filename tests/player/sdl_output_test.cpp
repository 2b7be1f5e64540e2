// The real output path through SDL2, with SDL's `disk` driver standing in for a sound card:
// it writes every buffer the device pulls to a file, which is read back here.

#include "audio/player.h"
#include "audio/sdl_output.h"
#include "tests/player/test_tracks.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace taln {
namespace {

using test::classify;
using test::Heard;
using test::makeVersion;

constexpr double kRate = 44100.0;
constexpr std::int64_t kLead = 2205;

// Sets an environment variable for one test and puts the old value back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Waits (sleeping, never spinning) until the player has played `frames` frames. A generous
// bound keeps a broken player from hanging the suite; how long it takes is not checked.
bool waitUntilPlayed(const Player& player, std::int64_t frames) {
    for (int i = 0; i < 60000; ++i) {
        if (player.currentTime() * kRate >= static_cast<double>(frames)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// SDL's disk driver for one test, writing to a file of its own; 2 ms per 1,024-frame buffer,
// so it runs about ten times faster than real time.
class DiskDriver {
public:
    explicit DiskDriver(const std::string& name)
        : file_(std::filesystem::path(::testing::TempDir()) /
                (name + "_" + std::to_string(::getpid()) + ".raw")),
          driver_("SDL_AUDIODRIVER", "disk"), target_("SDL_DISKAUDIOFILE", file_.string()),
          delay_("SDL_DISKAUDIODELAY", "2") {
        std::filesystem::remove(file_);
    }
    ~DiskDriver() { std::filesystem::remove(file_); }

    // The interleaved samples written so far (all of them once the device is closed).
    std::vector<float> read() const {
        std::ifstream in(file_, std::ios::binary);
        std::vector<float> data;
        float sample = 0.0f;
        while (in.read(reinterpret_cast<char*>(&sample), sizeof sample)) {
            data.push_back(sample);
        }
        return data;
    }

private:
    std::filesystem::path file_;
    ScopedEnv driver_;
    ScopedEnv target_;
    ScopedEnv delay_;
};

// The first output frame that is not silence (the frame count if there is none).
std::int64_t firstHeard(const std::vector<float>& data) {
    const auto frames = static_cast<std::int64_t>(data.size() / 2);
    std::int64_t first = 0;
    while (first < frames &&
           classify(data[2 * first], data[2 * first + 1]).kind == Heard::silence) {
        ++first;
    }
    return first;
}

TEST(SdlOutputTest, DiskDriverRecordsTheCleanedTrackThenTheOriginalAfterASwitch) {
    const DiskDriver disk("taln_player_disk_output");

    const std::int64_t n = 200000;
    std::int64_t bufferFrames = 0;
    {
        auto out = std::make_unique<SdlOutput>();
        SdlOutput* sdl = out.get();
        Player player(std::move(out));
        player.load(test::track(n, false), test::track(n, true), kRate);
        EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u); // opened only by the first start

        const auto reason = player.start(0);
        ASSERT_FALSE(reason) << *reason;
        EXPECT_NE(SDL_WasInit(SDL_INIT_AUDIO), 0u);
        EXPECT_TRUE(sdl->isRunning());
        bufferFrames = sdl->bufferFrames();
        EXPECT_GT(bufferFrames, 0);
        EXPECT_LE(bufferFrames, SdlOutput::bufferFramesFor(static_cast<int>(kRate)));

        ASSERT_TRUE(waitUntilPlayed(player, 20000));
        player.setListening(Player::Listening::original);
        ASSERT_TRUE(waitUntilPlayed(player, n + 4096));
        player.stop();
        EXPECT_TRUE(sdl->isRunning()); // stopping the tracks leaves the device pulling
        player.load({}, {}, kRate);
        EXPECT_FALSE(sdl->isRunning());
    } // closing the device flushes the file

    const std::vector<float> data = disk.read();
    const auto frames = static_cast<std::int64_t>(data.size() / 2);
    ASSERT_GT(frames, n + kLead);

    // Silence while the device waited for the schedule, then exactly the lead.
    const std::int64_t first = firstHeard(data);
    ASSERT_GE(first, kLead);
    EXPECT_EQ((first - kLead) % bufferFrames, 0) << "the lead is counted from a buffer's start";

    // Then every frame of one version in order: the cleaned track up to one switch, the
    // original from there on, with no gap and no repeat, then silence to the end.
    std::int64_t switchedAt = -1;
    for (std::int64_t k = 0; k < n; ++k) {
        const Heard h = classify(data[2 * (first + k)], data[2 * (first + k) + 1]);
        const Heard::Kind expected =
            switchedAt < 0 && h.kind != Heard::original ? Heard::cleaned : Heard::original;
        if (h.kind == Heard::original && switchedAt < 0) {
            switchedAt = k;
        }
        ASSERT_EQ(h.kind, expected) << "track frame " << k;
        ASSERT_EQ(h.frame, k) << "track frame " << k;
    }
    EXPECT_GE(switchedAt, 20000 - 2 * bufferFrames);
    EXPECT_LT(switchedAt, n);
    for (std::int64_t i = first + n; i < frames; ++i) {
        ASSERT_EQ(classify(data[2 * i], data[2 * i + 1]).kind, Heard::silence) << i;
    }
}

TEST(SdlOutputTest, CleanedVersionsReplacedWhilePlayingLeaveNoGap) {
    const DiskDriver disk("taln_player_disk_swaps");

    const std::int64_t n = 200000;
    const std::int64_t swapsAt[] = {20000, 40000, 60000};
    {
        Player player(std::make_unique<SdlOutput>());
        player.load(test::track(n, false), test::track(n, true), kRate);
        const auto reason = player.start(0);
        ASSERT_FALSE(reason) << *reason;
        // Each new cleaned version carries the other signal, so the output shows every swap.
        bool cleanedSignal = true;
        for (const std::int64_t at : swapsAt) {
            ASSERT_TRUE(waitUntilPlayed(player, at));
            cleanedSignal = !cleanedSignal;
            player.replaceClean(ChunkedAudio::fromChannels(makeVersion(n, cleanedSignal)));
            player.releaseRetired();
        }
        ASSERT_TRUE(waitUntilPlayed(player, n + 4096));
        player.load({}, {}, kRate);
    }

    const std::vector<float> data = disk.read();
    const std::int64_t first = firstHeard(data);
    ASSERT_GT(static_cast<std::int64_t>(data.size() / 2), first + n);

    // From the first frame heard to the end of the audio: every frame is frame k of one version,
    // except inside the three crossfades; and silence never lasts more than 64 frames.
    constexpr std::int64_t kLongestZeroRun = 64;
    std::int64_t zeroRun = 0;
    std::int64_t longestZeroRun = 0;
    std::int64_t blended = 0;
    int swaps = 0;
    Heard::Kind last = Heard::cleaned;
    for (std::int64_t k = 0; k < n; ++k) {
        const float left = data[2 * (first + k)];
        zeroRun = left == 0.0f ? zeroRun + 1 : 0;
        longestZeroRun = std::max(longestZeroRun, zeroRun);
        const Heard h = classify(left, data[2 * (first + k) + 1]);
        if (h.kind == Heard::original || h.kind == Heard::cleaned) {
            ASSERT_EQ(h.frame, k) << "no jump and no repeat";
            swaps += h.kind != last ? 1 : 0;
            last = h.kind;
        } else {
            ++blended;
        }
    }
    EXPECT_LE(longestZeroRun, kLongestZeroRun);
    EXPECT_EQ(swaps, 3);
    EXPECT_LE(blended, 3 * Player::kCrossfadeFrames);
}

TEST(SdlOutputTest, UnavailableDriverReportsSdlsOwnReasonAndSchedulesNothing) {
    const ScopedEnv driver("SDL_AUDIODRIVER", "no-such-driver");
    Player player(makeSdlOutput());
    player.load(test::track(1000, false), test::track(1000, true), kRate);

    const auto reason = player.start(100);
    ASSERT_TRUE(reason);
    EXPECT_NE(reason->find("no-such-driver"), std::string::npos) << *reason; // SDL's text
    EXPECT_EQ(player.currentTime(), 0.0);

    // Still failing, and still reporting, on the next try.
    EXPECT_TRUE(player.start(100));
}

} // namespace
} // namespace taln
