// taln-clean: Taln's engine from the command line, for batch work and for measuring.
//
//   taln-clean [--strength PERCENT] [--float] INPUT OUTPUT
//
// Decodes INPUT (any file FFmpeg opens), estimates one noise profile per channel, cleans
// the channels in parallel (one thread each) and writes OUTPUT as its extension names.
// OUTPUT's folder is checked, and OUTPUT refused when it is INPUT, before any decoding.
// Exit status: 0 done (a warning on stderr when INPUT decodes well short of its stated
// length), 1 failed (one line on stderr, no OUTPUT written), 2 bad usage; 130, 143 and 129
// when ended by SIGINT, SIGTERM or SIGHUP (the temporary file removed, no OUTPUT written).

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_file_output.h"
#include "engine/cancel_token.h"
#include "engine/cleaner.h"

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
#include <thread>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The window's slider starts at 60 as well.
constexpr double kDefaultStrength = 60.0;

constexpr const char* kUsage =
    "Usage: taln-clean [--strength PERCENT] [--float] INPUT OUTPUT\n"
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
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "An existing OUTPUT is replaced only once the new file is complete.\n"
    "Exit status: 0 on success, 1 on failure, 2 on bad usage; 130, 143 or 129 when\n"
    "interrupted by SIGINT, SIGTERM or SIGHUP (nothing is written then).\n";

struct Options {
    double strength = kDefaultStrength;
    bool floatWav = false;
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

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
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

// Profiles and cleans every channel, each on its own thread. The first error of any
// channel is rethrown here after all threads have ended.
taln::Channels cleanChannels(const taln::Channels& original, float strength) {
    const std::size_t count = original.size();
    std::vector<std::optional<std::vector<float>>> cleaned(count);
    std::vector<std::exception_ptr> errors(count);
    // Never cancelled: a command-line run goes to the end or is killed.
    const taln::CancelToken token;
    {
        std::vector<std::jthread> workers;
        workers.reserve(count);
        for (std::size_t c = 0; c < count; ++c) {
            workers.emplace_back([&, c] {
                try {
                    const std::vector<float>& samples = *original[c];
                    const std::vector<float> noise = taln::Cleaner::estimateNoise(samples);
                    cleaned[c] =
                        taln::Cleaner::clean(samples, noise, strength, taln::kSampleRate, token);
                } catch (...) {
                    errors[c] = std::current_exception();
                }
            });
        }
    }
    taln::Channels result;
    for (std::size_t c = 0; c < count; ++c) {
        if (errors[c]) {
            std::rethrow_exception(errors[c]);
        }
        if (!cleaned[c]) {
            throw std::runtime_error("cleaning stopped before the end");
        }
        result.push_back(std::make_shared<const taln::Channel>(std::move(*cleaned[c])));
    }
    return result;
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
        const taln::AudioDecoder::Decoded decoded = taln::AudioDecoder::decodeFile(options.input);
        if (!decoded.shortfallWarning.empty()) {
            std::fprintf(stderr, "taln-clean: warning: %s\n", decoded.shortfallWarning.c_str());
        }
        // PERCENT / 100 narrowed to single precision, as the window hands its slider over.
        const auto strength = static_cast<float>(options.strength / 100.0);
        const taln::Channels cleaned = cleanChannels(decoded.channels, strength);
        taln::AudioExporter::write(cleaned, taln::kSampleRate, options.kind, options.output,
                                   options.floatWav ? taln::AudioExporter::WavSamples::float32
                                                    : taln::AudioExporter::WavSamples::int16);
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
