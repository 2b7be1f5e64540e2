#include "tests/live/live_support.h"

#include "tests/engine/test_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace taln::live {

NoisyVoice noisyVoice(double sampleRate, double seconds, double leadSeconds, double stepDb) {
    const auto n = static_cast<std::int64_t>(seconds * sampleRate);
    const auto lead = static_cast<std::int64_t>(leadSeconds * sampleRate);
    NoisyVoice take;
    take.voice = testsignals::speech(n - lead, sampleRate, 5, 0.3f, &take.gaps);
    take.voice.insert(take.voice.begin(), static_cast<std::size_t>(lead), 0.0f);
    take.gaps.insert(take.gaps.begin(), static_cast<std::size_t>(lead), 1);
    take.noise = testsignals::colouredNoise(n, testsignals::Colour::white, 0.01, 6, sampleRate);
    const auto step = static_cast<float>(std::pow(10.0, stepDb / 20.0));
    take.mixed.resize(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        const auto k = static_cast<std::size_t>(i);
        take.noise[k] *= i >= n / 2 ? step : 1.0f;
        take.mixed[k] = take.voice[k] + take.noise[k];
    }
    return take;
}

double pauseDb(const std::vector<float>& in, const std::vector<float>& out,
               const std::vector<std::uint8_t>& gaps, std::int64_t from, std::int64_t latency) {
    double a = 0.0;
    double b = 0.0;
    for (auto i = static_cast<std::size_t>(from); i + latency < out.size(); ++i) {
        if (gaps[i] != 0) {
            a += double(out[i + latency]) * out[i + latency];
            b += double(in[i]) * in[i];
        }
    }
    return 10.0 * std::log10(a / b);
}

double voiceDb(const NoisyVoice& take, const std::vector<float>& out, std::int64_t latency) {
    constexpr std::size_t kFrame = 1024;
    double kept = 0.0;
    double voice = 0.0;
    for (std::size_t at = 0; at + kFrame + latency <= out.size(); at += kFrame) {
        double v = 0.0;
        double n = 0.0;
        double o = 0.0;
        for (std::size_t i = at; i < at + kFrame; ++i) {
            v += double(take.voice[i]) * take.voice[i];
            n += double(take.noise[i]) * take.noise[i];
            o += double(out[i + latency]) * out[i + latency];
        }
        if (v > 10.0 * n) {
            voice += v;
            kept += o;
        }
    }
    return 10.0 * std::log10(kept / voice);
}

namespace {

void put(std::ofstream& f, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        f.put(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

std::uint32_t get(const std::vector<char>& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(b.at(at + i))) << (8 * i);
    }
    return v;
}

} // namespace

void writeWav(const std::filesystem::path& path, const Wav& wav) {
    std::ofstream f(path, std::ios::binary);
    const auto data = static_cast<std::uint32_t>(wav.samples.size() * sizeof(float));
    f.write("RIFF", 4);
    put(f, 36 + data, 4);
    f.write("WAVEfmt ", 8);
    put(f, 16, 4);
    put(f, 3, 2); // IEEE float
    put(f, static_cast<std::uint32_t>(wav.channels), 2);
    put(f, static_cast<std::uint32_t>(wav.sampleRate), 4);
    put(f, static_cast<std::uint32_t>(wav.sampleRate * wav.channels * 4), 4);
    put(f, static_cast<std::uint32_t>(wav.channels * 4), 2);
    put(f, 32, 2);
    f.write("data", 4);
    put(f, data, 4);
    f.write(reinterpret_cast<const char*>(wav.samples.data()), data);
    if (!f) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

Wav readWav(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    const std::vector<char> b((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0) {
        throw std::runtime_error(path.string() + " is not a WAV file");
    }
    Wav wav;
    int tag = 0;
    int bits = 0;
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::uint32_t size = get(b, at + 4, 4);
        const std::size_t body = at + 8;
        if (std::memcmp(b.data() + at, "fmt ", 4) == 0) {
            tag = static_cast<int>(get(b, body, 2));
            wav.channels = static_cast<int>(get(b, body + 2, 2));
            wav.sampleRate = static_cast<int>(get(b, body + 4, 4));
            bits = static_cast<int>(get(b, body + 14, 2));
            if (tag == 0xFFFE) {
                tag = static_cast<int>(get(b, body + 24, 2)); // the sub-format's tag
            }
        } else if (std::memcmp(b.data() + at, "data", 4) == 0) {
            const std::size_t end = std::min<std::size_t>(body + size, b.size());
            if (tag == 3 && bits == 32) {
                wav.samples.resize((end - body) / 4);
                std::memcpy(wav.samples.data(), b.data() + body, wav.samples.size() * 4);
            } else if (tag == 1 && bits == 16) {
                for (std::size_t i = body; i + 2 <= end; i += 2) {
                    wav.samples.push_back(static_cast<std::int16_t>(get(b, i, 2)) / 32768.0f);
                }
            } else {
                throw std::runtime_error(path.string() + ": neither float nor 16-bit samples");
            }
            return wav;
        }
        at = body + size + (size & 1);
    }
    throw std::runtime_error(path.string() + " holds no samples");
}

std::filesystem::path buildDir() {
    return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
}

bool onPath(const std::string& program) {
    std::stringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string dir; std::getline(path, dir, ':');) {
        if (!dir.empty() && access((std::filesystem::path(dir) / program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

int Process::wait(double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (pid > 0) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() > until) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

void Process::stop() {
    if (pid <= 0) {
        return;
    }
    const pid_t group = pid;
    kill(-group, SIGTERM);
    wait(1.0);
    // The rest of the group (a server's children) too, before their files are removed.
    for (int i = 0; i < 100 && kill(-group, 0) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(-group, SIGKILL);
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

Process start(const std::vector<std::string>& argv, const std::filesystem::path& output) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    Process process;
    const int failed =
        posix_spawnp(&process.pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(failed));
    }
    return process;
}

int run(const std::vector<std::string>& argv, std::string& output) {
    char pattern[] = "/tmp/taln-live-run-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) {
        throw std::runtime_error("cannot make a temporary file");
    }
    close(fd);
    Process process = start(argv, pattern);
    const int status = process.wait(600.0);
    std::ifstream f(pattern);
    output.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    std::filesystem::remove(pattern);
    return status;
}

} // namespace taln::live
