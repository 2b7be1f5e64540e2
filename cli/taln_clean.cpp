// taln-clean: Taln's engine from the command line, for batch work and for measuring.
//
//   taln-clean [--strength PERCENT] [--float] [--hum auto|always|off] [-j N] [--verbose]
//              [--noise-from START-END] [--removed FILE] INPUT OUTPUT
//
// Decodes INPUT (any file FFmpeg opens), estimates one noise sample per channel (its profile
// and hum lines, from its quietest frames or a chosen stretch), cleans the channels by pieces
// on N threads and writes OUTPUT as its extension names. OUTPUT's folder is checked, and
// OUTPUT refused when it is INPUT, before any decoding. Exit status: 0 done (a warning on
// stderr when INPUT decodes well short of its stated length, or when its quietest stretches
// make a doubtful noise sample), 1 failed (one line on stderr, no OUTPUT written), 2 bad
// usage; 130, 143 and 129 when ended by SIGINT, SIGTERM or SIGHUP (the temporary file
// removed, no OUTPUT written).

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_file_output.h"
#include "engine/cancel_token.h"
#include "engine/cleaner.h"
#include "engine/cleaning_pieces.h"
#include "engine/hum_detector.h"
#include "engine/noise_sample.h"
#include "engine/real_fft.h"
#include "engine/worker_pool.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <new>
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
    "  --hum MODE          mains-hum notches: auto (where hum is found, the default),\n"
    "                      always (all sixteen, 50-400 and 60-480 Hz) or off\n"
    "  --verbose           say on stderr which hum lines --hum auto found and how\n"
    "                      much quieter the noise sample is than the median\n"
    "  --noise-from START-END\n"
    "                      take the noise sample from this stretch, in seconds\n"
    "                      (e.g. 0.5-3.5), instead of the quietest frames\n"
    "  --removed FILE      also write what was removed (INPUT minus OUTPUT) to FILE,\n"
    "                      in OUTPUT's format\n"
    "  -j N                clean on N threads (default: one per processor)\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "An existing OUTPUT is replaced only once the new file is complete.\n"
    "Exit status: 0 on success, 1 on failure, 2 on bad usage; 130, 143 or 129 when\n"
    "interrupted by SIGINT, SIGTERM or SIGHUP (nothing is written then).\n";

enum class HumMode { automatic, always, off };

struct Options {
    double strength = kDefaultStrength;
    bool floatWav = false;
    HumMode hum = HumMode::automatic;
    bool verbose = false;
    int jobs = taln::WorkerPool::hardwareThreads();
    // Samples [first, last) of each channel for the noise sample; none: the quietest frames.
    std::optional<std::pair<std::int64_t, std::int64_t>> noiseFrom;
    std::filesystem::path removed;
    std::filesystem::path input;
    std::filesystem::path output;
    taln::AudioExporter::Kind kind = taln::AudioExporter::Kind::wav;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What the command line asks for besides cleaning.
enum class Request { clean, help, version };

double parsePercent(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value < 0.0 ||
        value > 100.0) {
        throw UsageError("--strength needs a number from 0 to 100, not \"" + text + "\"");
    }
    return value;
}

HumMode parseHum(const std::string& text) {
    if (text == "auto") {
        return HumMode::automatic;
    }
    if (text == "always") {
        return HumMode::always;
    }
    if (text == "off") {
        return HumMode::off;
    }
    throw UsageError("--hum needs auto, always or off, not \"" + text + "\"");
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

// "START-END" in seconds, 0 <= START < END, to samples floor(START × 44,100) up to
// floor(END × 44,100).
std::pair<std::int64_t, std::int64_t> parseStretch(const std::string& text) {
    const std::string bad =
        "--noise-from needs START-END in seconds, like 0.5-3.5, not \"" + text + "\"";
    const std::size_t dash = text.find('-', 1);
    if (dash == std::string::npos) {
        throw UsageError(bad);
    }
    const std::string startText = text.substr(0, dash);
    const std::string endText = text.substr(dash + 1);
    char* startEnd = nullptr;
    char* endEnd = nullptr;
    const double start = std::strtod(startText.c_str(), &startEnd);
    const double end = std::strtod(endText.c_str(), &endEnd);
    // A stretch beyond 2^53 samples (6,000 years) is no recording.
    constexpr double kLongest = 9.0e15 / taln::kSampleRate;
    if (startText.empty() || endText.empty() || startEnd != startText.c_str() + startText.size() ||
        endEnd != endText.c_str() + endText.size() || !(start >= 0.0) || !(end > start) ||
        !(end < kLongest)) {
        throw UsageError(bad);
    }
    return {static_cast<std::int64_t>(std::floor(start * taln::kSampleRate)),
            static_cast<std::int64_t>(std::floor(end * taln::kSampleRate))};
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

taln::AudioExporter::Kind kindOf(const std::filesystem::path& path, const std::string& what) {
    const std::string extension = lowercase(path.extension().string());
    if (extension == ".wav") {
        return taln::AudioExporter::Kind::wav;
    }
    if (extension == ".m4a") {
        return taln::AudioExporter::Kind::m4a;
    }
    throw UsageError(what + " must end in .wav or .m4a");
}

// The value of option `name` at argv[i], given as "NAME VALUE" (i moves past VALUE) or
// "NAME=VALUE"; nothing when argv[i] is another option.
std::optional<std::string> optionValue(const std::string& name, int argc, char** argv, int& i) {
    const std::string arg = argv[i];
    if (arg == name) {
        if (i + 1 >= argc) {
            throw UsageError(name + " needs a value");
        }
        return std::string(argv[++i]);
    }
    if (arg.rfind(name + "=", 0) == 0) {
        return arg.substr(name.size() + 1);
    }
    return std::nullopt;
}

Request parse(int argc, char** argv, Options& options) {
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            return Request::help;
        } else if (arg == "--version") {
            return Request::version;
        } else if (arg == "--float") {
            options.floatWav = true;
        } else if (const auto value = optionValue("--strength", argc, argv, i)) {
            options.strength = parsePercent(*value);
        } else if (const auto value = optionValue("--hum", argc, argv, i)) {
            options.hum = parseHum(*value);
        } else if (const auto value = optionValue("--noise-from", argc, argv, i)) {
            options.noiseFrom = parseStretch(*value);
        } else if (const auto value = optionValue("--removed", argc, argv, i)) {
            options.removed = *value;
            if (options.removed.empty()) {
                throw UsageError("--removed needs a file name");
            }
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (const auto value = optionValue("-j", argc, argv, i)) {
            options.jobs = parseJobs(*value);
        } else if (arg.rfind("-j", 0) == 0 && arg.rfind("--", 0) != 0) {
            options.jobs = parseJobs(arg.substr(2));
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
    options.kind = kindOf(options.output, "OUTPUT");
    if (options.kind == taln::AudioExporter::Kind::m4a && options.floatWav) {
        throw UsageError("--float needs a .wav OUTPUT");
    }
    // What was removed is written as OUTPUT is, so that the two add up to INPUT.
    if (!options.removed.empty() && kindOf(options.removed, "--removed FILE") != options.kind) {
        throw UsageError("--removed FILE must end in the same extension as OUTPUT");
    }
    return Request::clean;
}

// SIGINT, SIGTERM and SIGHUP end the run at once with 128 + the signal's number, as a shell
// reports a command it ended; an export in progress loses its temporary file first (an
// unnamed one vanishes by itself). SIGXFSZ is ignored: a write beyond the file-size limit
// then fails with "File too large" and the one-line message, instead of ending the process
// without a word and leaving the partial file behind.
extern "C" void endOnSignal(int signal) {
    taln::FfmpegFileOutput::removeTemporaryFiles();
    _exit(128 + signal);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = &endOnSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&action.sa_mask, signal);
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    ::signal(SIGXFSZ, SIG_IGN);
}

// OUTPUT must not be INPUT by any name (a link, another path to it): the cleaned audio would
// replace the original recording. Both must exist to be the same file.
void refuseOutputThatIsInput(const Options& options) {
    std::error_code ec;
    if (std::filesystem::equivalent(options.input, options.output, ec) && !ec) {
        throw std::runtime_error(taln::displayName(options.output) + " is the input file: " +
                                 "choose another OUTPUT to keep the original recording");
    }
}

// Samples every channel's noise (from `stretch`, else from its quietest frames) and cleans it
// by pieces on `jobs` threads, all channels' pieces sharing them, with the hum notches `mode`
// asks for; `found` receives each channel's notches and `noise` each channel's noise sample.
// The first error of any piece is rethrown here after all of them have ended.
taln::Channels cleanChannels(const taln::Channels& original, float strength, HumMode mode,
                             const std::optional<std::pair<std::int64_t, std::int64_t>>& stretch,
                             int jobs, std::vector<taln::Cleaner::HumMask>& found,
                             std::vector<taln::NoiseSample>& noise) {
    const std::size_t count = original.size();
    found.assign(count, taln::Cleaner::kNoHum);
    noise.assign(count, {});
    std::int64_t totalSamples = 0;
    for (const auto& channel : original) {
        totalSamples += static_cast<std::int64_t>(channel->size());
    }
    const auto planning = totalSamples / jobs >= kMeasuredPlansFrom
                              ? taln::RealFFT::Planning::measured
                              : taln::RealFFT::Planning::estimated;
    taln::RealFFT::prepare(taln::Cleaner::kFrameLength, planning);
    std::vector<std::vector<float>> cleaned(count);
    // Never cancelled: a command-line run goes to the end or is killed.
    const taln::CancelToken token;
    taln::WorkerPool pool(jobs);
    taln::WorkerPool::TaskGroup group(pool);
    for (std::size_t c = 0; c < count; ++c) {
        // Each channel's profile on the pool too; its pieces follow it into the same group.
        group.run([&, c] {
            const std::vector<float>& samples = *original[c];
            noise[c] = stretch ? taln::NoiseSample::measure(samples, taln::kSampleRate,
                                                            stretch->first, stretch->second)
                               : taln::NoiseSample::measure(samples, taln::kSampleRate);
            found[c] = mode == HumMode::always ? taln::Cleaner::kAllHum
                       : mode == HumMode::off  ? taln::Cleaner::kNoHum
                                               : noise[c].hum;
            cleaned[c].resize(samples.size());
            taln::CleaningPieces::cleanChannelOn(group, samples, cleaned[c], noise[c].profile,
                                                 strength, taln::kSampleRate, token, found[c]);
        });
    }
    group.wait();
    taln::Channels result;
    for (std::vector<float>& channel : cleaned) {
        result.push_back(std::make_shared<const taln::Channel>(std::move(channel)));
    }
    return result;
}

// One line per channel on stderr: the hum lines found and notched, in Hz.
void reportHum(const std::vector<taln::Cleaner::HumMask>& hum, float strength) {
    for (std::size_t c = 0; c < hum.size(); ++c) {
        std::string lines;
        for (int i = 0; i < taln::HumDetector::kCandidates; ++i) {
            if ((hum[c] & (1u << i)) != 0) {
                lines += (lines.empty() ? "" : ", ") +
                         std::to_string(static_cast<int>(taln::HumDetector::candidateHz(i)));
            }
        }
        // The notches are off at the lowest strengths, whatever was found.
        const char* off = strength > taln::Cleaner::kNotchStrength ? "" : " (notches off at this strength)";
        std::fprintf(stderr, "taln-clean: channel %zu: %s%s\n", c + 1,
                     lines.empty() ? "no hum found" : ("hum at " + lines + " Hz").c_str(), off);
    }
}

// INPUT minus OUTPUT, channel by channel: what the cleaning took away.
taln::Channels removedPart(const taln::Channels& original, const taln::Channels& cleaned) {
    taln::Channels removed;
    for (std::size_t c = 0; c < original.size(); ++c) {
        const taln::Channel& in = *original[c];
        const taln::Channel& out = *cleaned[c];
        taln::Channel difference(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) {
            difference[i] = in[i] - out[i];
        }
        removed.push_back(std::make_shared<const taln::Channel>(std::move(difference)));
    }
    return removed;
}

// The --noise-from stretch must hold one whole frame of INPUT.
void checkStretch(const std::pair<std::int64_t, std::int64_t>& stretch, std::int64_t frames) {
    const std::int64_t first = std::min(stretch.first, frames);
    const std::int64_t last = std::min(stretch.second, frames);
    if (last - first < taln::Cleaner::kFrameLength) {
        throw std::runtime_error(
            "the --noise-from stretch holds " + std::to_string(last - first) +
            " samples of the input; a noise sample needs at least 2048 (0.05 s)");
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    Request request = Request::clean;
    try {
        request = parse(argc, argv, options);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "taln-clean: %s\nTry 'taln-clean --help'.\n", error.what());
        return kExitUsage;
    }
    if (request == Request::help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (request == Request::version) {
        std::printf("taln-clean %s\n", TALN_VERSION);
        return 0;
    }

    installSignalHandlers();
    // Errors reach the user once, as the one line below; FFmpeg's own log stays quiet.
    taln::quietFfmpegLog();
    try {
        // Problems with OUTPUT are found before the work, not after it.
        taln::FfmpegFileOutput::checkFolder(options.output);
        refuseOutputThatIsInput(options);
        if (!options.removed.empty()) {
            taln::FfmpegFileOutput::checkFolder(options.removed);
            Options removedAsOutput = options;
            removedAsOutput.output = options.removed;
            refuseOutputThatIsInput(removedAsOutput);
        }
        const taln::AudioDecoder::Decoded decoded = taln::AudioDecoder::decodeFile(options.input);
        if (!decoded.shortfallWarning.empty()) {
            std::fprintf(stderr, "taln-clean: warning: %s\n", decoded.shortfallWarning.c_str());
        }
        // PERCENT / 100 narrowed to single precision, as the window hands its slider over.
        const auto strength = static_cast<float>(options.strength / 100.0);
        if (options.noiseFrom) {
            checkStretch(*options.noiseFrom, taln::frameCount(decoded.channels));
        }
        std::vector<taln::Cleaner::HumMask> hum;
        std::vector<taln::NoiseSample> noise;
        const taln::Channels cleaned = cleanChannels(decoded.channels, strength, options.hum,
                                                     options.noiseFrom, options.jobs, hum, noise);
        if (options.verbose && options.hum == HumMode::automatic) {
            reportHum(hum, strength);
        }
        if (options.verbose) {
            for (std::size_t c = 0; c < noise.size(); ++c) {
                std::fprintf(
                    stderr,
                    "taln-clean: channel %zu: noise sample at %.4f of the median frame, %.4f of "
                    "the loudest tenth\n",
                    c + 1, static_cast<double>(noise[c].quietToMedian),
                    static_cast<double>(noise[c].quietToLoud));
            }
        }
        // A stretch the user chose is taken as noise on their word; only the quietest frames
        // can be doubtful.
        const bool doubtful = !options.noiseFrom &&
                              std::any_of(noise.begin(), noise.end(),
                                          [](const taln::NoiseSample& n) { return n.doubtful(); });
        if (doubtful) {
            std::fprintf(stderr,
                         "taln-clean: warning: %s Choose a stretch of noise alone with "
                         "--noise-from START-END.\n",
                         taln::NoiseSample::kDoubtfulWarning);
        }
        const auto samples = options.floatWav ? taln::AudioExporter::WavSamples::float32
                                              : taln::AudioExporter::WavSamples::int16;
        taln::AudioExporter::write(cleaned, taln::kSampleRate, options.kind, options.output,
                                   samples);
        if (!options.removed.empty()) {
            taln::AudioExporter::write(removedPart(decoded.channels, cleaned), taln::kSampleRate,
                                       options.kind, options.removed, samples);
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "taln-clean: Not enough memory to clean %s\n",
                     taln::displayName(options.input).c_str());
        return kExitFailure;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "taln-clean: %s\n", error.what());
        return kExitFailure;
    }
    return 0;
}
