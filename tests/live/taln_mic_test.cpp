// taln-mic under a private PipeWire: pipewire and wireplumber in dbus-run-session, with a
// temporary XDG_RUNTIME_DIR (its own socket) and XDG_CONFIG_HOME (WirePlumber told to leave the
// machine's sound cards, cameras and Bluetooth alone), and a null source as the only input.

#include "tests/live/live_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

namespace taln {
namespace {

using Clock = std::chrono::steady_clock;
using Node = std::map<std::string, std::string>;

class TalnMic : public testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"dbus-run-session", "pipewire", "wireplumber", "pw-cli", "pw-link",
                                 "pw-metadata", "pw-play", "pw-record"}) {
            if (!live::onPath(tool)) {
                GTEST_SKIP() << tool << " is not installed (scripts/bootstrap.sh installs dbus, "
                             << "pipewire, pipewire-bin and wireplumber)";
            }
        }
        char pattern[] = "/tmp/taln-pipewire-XXXXXX";
        folder_ = mkdtemp(pattern);
        setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
        unsetenv("PIPEWIRE_REMOTE");
        std::filesystem::create_directories(folder_ / "wireplumber/main.lua.d");
        std::filesystem::create_directories(folder_ / "wireplumber/bluetooth.lua.d");
        std::ofstream(folder_ / "wireplumber/main.lua.d/99-no-devices.lua")
            << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
               "libcamera_monitor.enabled = false\n";
        std::ofstream(folder_ / "wireplumber/bluetooth.lua.d/99-no-devices.lua")
            << "bluez_monitor.enabled = false\n";
        server_ = live::start({"dbus-run-session", "--", "sh", "-c",
                               "pipewire & until [ -S \"$XDG_RUNTIME_DIR/pipewire-0\" ]; "
                               "do sleep 0.05; done; exec wireplumber"},
                              folder_ / "server.log");
        std::string said;
        ASSERT_TRUE(waitFor(10.0, [&] {
            return live::run({"pw-cli", "create-node", "adapter",
                              "{ factory.name=support.null-audio-sink node.name=test-mic "
                              "node.description=\"Test mic\" media.class=Audio/Source/Virtual "
                              "object.linger=true audio.position=[MONO] }"},
                             said) == 0;
        })) << said;
        // WirePlumber makes it the default input a moment later; taln-mic without --source
        // reads that.
        ASSERT_TRUE(waitFor(10.0, [&] {
            live::run({"pw-metadata", "-n", "default", "0", "default.audio.source"}, said);
            return said.find("test-mic") != std::string::npos;
        })) << said;
    }

    void TearDown() override {
        mic_.stop();
        server_.stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    template <typename Test> static bool waitFor(double seconds, Test test) {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (!test()) {
            if (Clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    // The graph's nodes, their properties as pw-cli lists them.
    static std::vector<Node> nodes() {
        std::string listed;
        live::run({"pw-cli", "ls", "Node"}, listed);
        std::vector<Node> found;
        std::istringstream lines(listed);
        for (std::string line; std::getline(lines, line);) {
            const auto at = line.find_first_not_of(" \t");
            const auto eq = line.find(" = ");
            if (line.rfind("\tid ", 0) == 0) {
                found.emplace_back()["id"] = line.substr(4, line.find(',') - 4);
            } else if (!found.empty() && at != std::string::npos && eq != std::string::npos) {
                found.back()[line.substr(at, eq - at)] =
                    line.substr(eq + 4, line.size() - eq - 5); // unquoted
            }
        }
        return found;
    }

    static std::optional<Node> node(const std::string& name) {
        for (const Node& n : nodes()) {
            if (n.count("node.name") != 0 && n.at("node.name") == name) {
                return n;
            }
        }
        return std::nullopt;
    }

    void startMic(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{(live::buildDir() / "live/taln-mic").string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        mic_ = live::start(argv, folder_ / "mic.log");
        ASSERT_TRUE(waitFor(10.0, [] { return node("taln-mic").has_value(); })) << said();
        const Node source = *node("taln-mic");
        EXPECT_EQ(source.at("media.class"), "Audio/Source");
        EXPECT_EQ(source.at("node.description"), "Taln — clean microphone");
    }

    std::string said() const {
        std::ifstream f(folder_ / "mic.log");
        return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }

    std::filesystem::path folder_;
    live::Process server_;
    live::Process mic_;
};

// 6 s of noise, then speech over it, played into the input while the source is recorded: what
// comes out has the noise at least 12 dB down after its first 2 s, and the voice within 3 dB.
// Ctrl+C removes the source within 2 s, and taln-mic ends well.
TEST_F(TalnMic, MakesACleanMicrophoneAndRemovesItOnCtrlC) {
    ASSERT_NO_FATAL_FAILURE(startMic({}));
    constexpr int kRate = 48000;
    const live::NoisyVoice take = live::noisyVoice(kRate, 12.0, 6.0, 0.0);
    live::writeWav(folder_ / "in.wav", {1, kRate, take.mixed});
    live::Process recorder =
        live::start({"pw-record", "--target", "taln-mic", "--rate", "48000", "--channels", "1",
                     "--format", "f32", (folder_ / "out.wav").string()},
                    folder_ / "record.log");
    std::string links;
    ASSERT_TRUE(waitFor(10.0, [&] {
        return live::run({"pw-link", "-l"}, links) == 0 &&
               links.find("pw-record") != std::string::npos;
    })) << links;
    live::Process player = live::start({"pw-play", "--target", "0", (folder_ / "in.wav").string()},
                                       folder_ / "play.log");
    ASSERT_TRUE(waitFor(10.0, [&] {
        return live::run({"pw-link", "pw-play:output_MONO", "test-mic:input_MONO"}, links) == 0;
    })) << links;
    EXPECT_EQ(player.wait(30.0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(recorder.pid, SIGINT); // pw-record ends its file on SIGINT
    recorder.wait(5.0);

    const live::Wav out = live::readWav(folder_ / "out.wav");
    const auto first = std::find_if(out.samples.begin(), out.samples.end(),
                                    [](float v) { return std::abs(v) > 1e-4f; });
    ASSERT_GT(out.samples.end() - first, 12 * kRate) << "the played audio did not come out";
    const auto level = [](auto from, double seconds) {
        double sum = 0.0;
        for (auto v = from; v < from + static_cast<std::ptrdiff_t>(seconds * kRate); ++v) {
            sum += double(*v) * *v;
        }
        return 10.0 * std::log10(sum / (seconds * kRate));
    };
    EXPECT_LT(level(first + 2 * kRate, 3.5) - level(take.mixed.begin() + 2 * kRate, 3.5), -12.0);
    EXPECT_NEAR(level(first + 7 * kRate, 4.5), level(take.mixed.begin() + 7 * kRate, 4.5), 3.0);

    const auto signalled = Clock::now();
    kill(mic_.pid, SIGINT);
    EXPECT_TRUE(waitFor(2.0, [] { return !node("taln-mic").has_value(); }));
    EXPECT_LE(Clock::now() - signalled, std::chrono::seconds(2));
    EXPECT_EQ(mic_.wait(5.0), 0) << said();
}

// The input it reads (named with --source) going away takes the source with it.
TEST_F(TalnMic, EndsWhenItsInputDisappears) {
    ASSERT_NO_FATAL_FAILURE(startMic({"--source", "test-mic", "--strength", "80"}));
    std::string said;
    ASSERT_EQ(live::run({"pw-cli", "destroy", node("test-mic")->at("id")}, said), 0) << said;
    EXPECT_EQ(mic_.wait(5.0), 1) << this->said();
    EXPECT_FALSE(node("taln-mic").has_value());
    EXPECT_NE(this->said().find("gone"), std::string::npos) << this->said();
}

} // namespace
} // namespace taln
