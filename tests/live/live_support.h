#pragma once

// What the live tests share: a noisy voice with its parts kept apart, the two measures the live
// cleaner is held to, 32-bit float WAV files (what lv2apply, pw-play and pw-record read and
// write here), and running the build's programs and the system's tools as processes.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace taln::live {

// Speech (testsignals::speech, peak 0.3) after `leadSeconds` of noise alone, over white noise of
// RMS 0.01 (−40 dBFS) that rises by `stepDb` halfway through.
struct NoisyVoice {
    std::vector<float> voice;
    std::vector<float> noise;
    std::vector<float> mixed;
    std::vector<std::uint8_t> gaps; // 1 where the voice is silent
};
NoisyVoice noisyVoice(double sampleRate, double seconds, double leadSeconds, double stepDb);

// Energy out over energy in, in dB, over the gaps from sample `from` on, the output being
// `latency` samples late.
double pauseDb(const std::vector<float>& in, const std::vector<float>& out,
               const std::vector<std::uint8_t>& gaps, std::int64_t from, std::int64_t latency);

// The output's energy over the clean voice's, in dB, over the 1024-sample frames where the voice
// is at least 10 dB above the noise, the output being `latency` samples late.
double voiceDb(const NoisyVoice& take, const std::vector<float>& out, std::int64_t latency);

// Interleaved 32-bit float samples.
struct Wav {
    int channels = 1;
    int sampleRate = 48000;
    std::vector<float> samples;
};
void writeWav(const std::filesystem::path& path, const Wav& wav);
Wav readWav(const std::filesystem::path& path); // float or 16-bit PCM; throws when neither

// <build>/..., from where this test binary lies (<build>/tests/live/).
std::filesystem::path buildDir();
// Whether `program` is on the PATH.
bool onPath(const std::string& program);

// A process started from `argv` (argv[0] looked up on the PATH), in a process group of its own,
// with this one's environment and its output in `output`.
struct Process {
    pid_t pid = -1;
    // Waits up to `seconds` for it to end: its exit status, or -1 when it is still running or
    // was ended by a signal.
    int wait(double seconds);
    // SIGTERM to its group, then SIGKILL after a second; waits for it.
    void stop();
};
Process start(const std::vector<std::string>& argv, const std::filesystem::path& output);
// Runs `argv` to its end: its exit status, its output in `output`.
int run(const std::vector<std::string>& argv, std::string& output);

} // namespace taln::live
