// The LV2 bundle as hosts see it: lilv's lv2ls lists it from the build tree and lv2apply runs it
// on generated files (Debian's lilv-utils).

#include "engine/realtime_cleaner.h"

#include "tests/live/live_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace taln {
namespace {

class Lv2Plugin : public testing::Test {
protected:
    void SetUp() override {
        if (!live::onPath("lv2ls") || !live::onPath("lv2apply")) {
            GTEST_SKIP() << "lilv-utils (lv2ls, lv2apply) is not installed";
        }
        setenv("LV2_PATH", (live::buildDir() / "lv2").c_str(), 1);
        // A plugin built with AddressSanitizer loads only into a host that has its runtime first:
        // the one this test runs with. The leak checker is left out there: the FFT plans the
        // engine keeps for the process look lost once lv2apply has unloaded the plugin.
        std::ifstream maps("/proc/self/maps");
        for (std::string line; std::getline(maps, line);) {
            if (line.find("/libasan.so") != std::string::npos) {
                setenv("LD_PRELOAD", line.substr(line.find('/')).c_str(), 1);
                const char* options = std::getenv("ASAN_OPTIONS");
                setenv("ASAN_OPTIONS",
                       (std::string(options != nullptr ? options : "") + ":detect_leaks=0").c_str(),
                       1);
                break;
            }
        }
        char pattern[] = "/tmp/taln-lv2-XXXXXX";
        folder_ = mkdtemp(pattern);
    }
    void TearDown() override {
        if (!folder_.empty()) {
            std::filesystem::remove_all(folder_);
        }
    }
    std::filesystem::path folder_;
};

TEST_F(Lv2Plugin, IsListedFromTheBuildTree) {
    std::string listed;
    ASSERT_EQ(live::run({"lv2ls"}, listed), 0) << listed;
    EXPECT_NE(listed.find("urn:taln:clean-mono\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("urn:taln:clean-stereo\n"), std::string::npos) << listed;
}

// 40 s at 48 kHz, the noise starting before the voice and rising 6 dB halfway, no noise sample
// given: the last 15 s of pauses lose at least 15 dB and the voice stays within 3 dB, the output
// being the reported latency late. In stereo (the right channel the left at −6 dB), both
// channels alike.
TEST_F(Lv2Plugin, CleansAFileThroughLv2apply) {
    constexpr int kRate = 48000;
    const live::NoisyVoice take = live::noisyVoice(kRate, 40.0, 3.0, 6.0);
    for (const int channels : {1, 2}) {
        SCOPED_TRACE(channels);
        live::Wav in{channels, kRate, {}};
        for (const float v : take.mixed) {
            in.samples.push_back(v);
            if (channels == 2) {
                in.samples.push_back(0.5f * v);
            }
        }
        live::writeWav(folder_ / "in.wav", in);
        std::string said;
        ASSERT_EQ(live::run({"lv2apply", "-i", (folder_ / "in.wav").string(), "-o",
                             (folder_ / "out.wav").string(),
                             channels == 1 ? "urn:taln:clean-mono" : "urn:taln:clean-stereo"},
                            said),
                  0)
            << said;
        const live::Wav out = live::readWav(folder_ / "out.wav");
        ASSERT_EQ(out.channels, channels);
        ASSERT_EQ(out.samples.size(), in.samples.size());
        for (int c = 0; c < channels; ++c) {
            std::vector<float> channel;
            for (std::size_t i = static_cast<std::size_t>(c); i < out.samples.size();
                 i += static_cast<std::size_t>(channels)) {
                channel.push_back(out.samples[i] / (c == 0 ? 1.0f : 0.5f));
            }
            const std::int64_t late = RealtimeCleaner::kLatency;
            EXPECT_LT(live::pauseDb(take.mixed, channel, take.gaps, 25 * kRate, late), -15.0);
            EXPECT_NEAR(live::voiceDb(take, channel, late), 0.0, 3.0);
        }
    }
}

} // namespace
} // namespace taln
