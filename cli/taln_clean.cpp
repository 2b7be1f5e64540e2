// taln-clean: Taln's engine from the command line, for batch work and for measuring.
//
//   taln-clean [--strength PERCENT] [--float] [-j N] INPUT OUTPUT
//
// Decodes INPUT (any file FFmpeg opens), estimates one noise profile per channel, cleans
// the channels by pieces on N threads and writes OUTPUT as its extension names.
// Exit status: 0 done, 1 failed (one line on stderr, no OUTPUT written), 2 bad usage.

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/ffmpeg_error.h"
#include "engine/cancel_token.h"
#include "engine/cleaner.h"
#include "engine/cleaning_pieces.h"
#include "engine/real_fft.h"
#include "engine/worker_pool.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The window's slider starts at 60 as well.
constexpr double kDefaultStrength = 60.0;

constexpr const char* kUsage =
    "Usage: taln-clean [--strength PERCENT] [--float] [-j N] INPUT OUTPUT\n"
    "\n"
    "Removes steady background noise (hiss, fan, hum) from the first audio track of\n"
    "INPUT, any audio or video file, and writes the cleaned audio to OUTPUT at\n"
    "44,100 Hz with one channel (mono input) or two.\n"
    "\n"
    "OUTPUT's extension chooses the format:\n"
    "  .wav   16-bit PCM WAV\n"
    "  .m4a   AAC at 96 kbit/s per channel\n"
    "\n"
    "Options:\n"
    "  --strength PERCENT  how hard to clean, 0 to 100 (default 60)\n"
    "  --float             write a .wav OUTPUT as 32-bit float instead of 16-bit\n"
    "  -j N                clean on N threads (default: one per processor)\n"
    "  -h, --help          show this help\n"
    "\n"
    "An existing OUTPUT is replaced only once the new file is complete.\n"
    "Exit status: 0 on success, 1 on failure, 2 on bad usage.\n";

struct Options {
    double strength = kDefaultStrength;
    bool floatWav = false;
    int jobs = taln::WorkerPool::hardwareThreads();
    std::filesystem::path input;
    std::filesystem::path output;
    taln::AudioExporter::Kind kind = taln::AudioExporter::Kind::wav;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

double parsePercent(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value < 0.0 ||
        value > 100.0) {
        throw UsageError("--strength needs a number from 0 to 100, not \"" + text + "\"");
    }
    return value;
}

// Measured FFT plans take 0.3 to 0.6 s to make and save about 0.08 s of one thread per 10 minutes
// of channel: they pay only from about an hour of audio per thread.
constexpr auto kMeasuredPlansFrom = static_cast<std::int64_t>(3600.0 * taln::kSampleRate);

// More threads than this only cost memory: no machine Taln runs on has that many processors.
constexpr long kMaxJobs = 1024;

int parseJobs(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size() || value < 1 || value > kMaxJobs) {
        throw UsageError("-j needs a whole number of threads from 1 to " +
                         std::to_string(kMaxJobs) + ", not \"" + text + "\"");
    }
    return static_cast<int>(value);
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

// Returns nothing when --help was asked for.
std::optional<Options> parse(int argc, char** argv) {
    Options options;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            return std::nullopt;
        } else if (arg == "--float") {
            options.floatWav = true;
        } else if (arg == "--strength") {
            if (i + 1 >= argc) {
                throw UsageError("--strength needs a value");
            }
            options.strength = parsePercent(argv[++i]);
        } else if (arg == "-j") {
            if (i + 1 >= argc) {
                throw UsageError("-j needs a value");
            }
            options.jobs = parseJobs(argv[++i]);
        } else if (arg.rfind("-j", 0) == 0 && arg.rfind("--", 0) != 0) {
            options.jobs = parseJobs(arg.substr(2));
        } else if (arg.rfind("--strength=", 0) == 0) {
            options.strength = parsePercent(arg.substr(std::string_view("--strength=").size()));
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    if (operands.size() != 2) {
        throw UsageError("expected INPUT and OUTPUT, got " + std::to_string(operands.size()) +
                         (operands.size() == 1 ? " file" : " files"));
    }
    options.input = operands[0];
    options.output = operands[1];
    const std::string extension = lowercase(options.output.extension().string());
    if (extension == ".wav") {
        options.kind = taln::AudioExporter::Kind::wav;
    } else if (extension == ".m4a") {
        options.kind = taln::AudioExporter::Kind::m4a;
        if (options.floatWav) {
            throw UsageError("--float needs a .wav OUTPUT");
        }
    } else {
        throw UsageError("OUTPUT must end in .wav or .m4a");
    }
    return options;
}

// Profiles and cleans every channel by pieces on `jobs` threads, all channels' pieces sharing
// them. The first error of any piece is rethrown here after all of them have ended.
taln::Channels cleanChannels(const taln::Channels& original, float strength, int jobs) {
    const std::size_t count = original.size();
    std::int64_t totalSamples = 0;
    for (const auto& channel : original) {
        totalSamples += static_cast<std::int64_t>(channel->size());
    }
    const auto planning = totalSamples / jobs >= kMeasuredPlansFrom
                              ? taln::RealFFT::Planning::measured
                              : taln::RealFFT::Planning::estimated;
    taln::RealFFT::prepare(taln::Cleaner::kFrameLength, planning);
    std::vector<std::vector<float>> noise(count);
    std::vector<std::vector<float>> cleaned(count);
    // Never cancelled: a command-line run goes to the end or is killed.
    const taln::CancelToken token;
    taln::WorkerPool pool(jobs);
    taln::WorkerPool::TaskGroup group(pool);
    for (std::size_t c = 0; c < count; ++c) {
        // Each channel's profile on the pool too; its pieces follow it into the same group.
        group.run([&, c] {
            const std::vector<float>& samples = *original[c];
            noise[c] = taln::Cleaner::estimateNoise(samples);
            cleaned[c].resize(samples.size());
            taln::CleaningPieces::cleanChannelOn(group, samples, cleaned[c], noise[c], strength,
                                                 taln::kSampleRate, token);
        });
    }
    group.wait();
    taln::Channels result;
    for (std::vector<float>& channel : cleaned) {
        result.push_back(std::make_shared<const taln::Channel>(std::move(channel)));
    }
    return result;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<Options> options;
    try {
        options = parse(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "taln-clean: %s\nTry 'taln-clean --help'.\n", error.what());
        return kExitUsage;
    }
    if (!options) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    // Errors reach the user once, as the one line below; FFmpeg's own log stays quiet.
    taln::quietFfmpegLog();
    try {
        const taln::Channels original = taln::AudioDecoder::decode(options->input);
        // PERCENT / 100 narrowed to single precision, as the window hands its slider over.
        const auto strength = static_cast<float>(options->strength / 100.0);
        const taln::Channels cleaned = cleanChannels(original, strength, options->jobs);
        taln::AudioExporter::write(cleaned, taln::kSampleRate, options->kind, options->output,
                                   options->floatWav ? taln::AudioExporter::WavSamples::float32
                                                     : taln::AudioExporter::WavSamples::int16);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "taln-clean: %s\n", error.what());
        return kExitFailure;
    }
    return 0;
}
