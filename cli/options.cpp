#include "cli/options.h"

#include "audio/video_exporter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace taln::cli {

const char* const kUsage =
    "Usage: taln-clean [options] INPUT OUTPUT\n"
    "       taln-clean [options] INPUT... -o FOLDER\n"
    "\n"
    "Removes steady background noise (hiss, fan, hum) from the first audio track of\n"
    "INPUT, any audio or video file, and writes the cleaned audio to OUTPUT at INPUT's\n"
    "own rate, with every channel (up to 8) in its layout, or the video with its sound\n"
    "cleaned. A hole in INPUT's sound stays a silence of its length.\n"
    "\n"
    "OUTPUT's extension chooses the format:\n"
    "  .wav   PCM WAV at INPUT's depth: 16, 24 or 32-bit, float for a float INPUT,\n"
    "         16-bit for a lossy one (AAC, MP3, Opus...)\n"
    "  .flac  FLAC, 16 or 24-bit\n"
    "  .m4a   AAC at 96 kbit/s per channel\n"
    "  .mp4 .m4v .mov .mkv .webm\n"
    "         INPUT's video, every stream copied as it is, with its first audio track\n"
    "         cleaned (AAC, or Opus in .webm, at INPUT's rate and channels)\n"
    "INPUT - reads standard input; OUTPUT - writes a WAV to standard output (--format\n"
    "chooses flac or m4a).\n"
    "\n"
    "With -o, every INPUT is cleaned into FOLDER as \"<name> (Taln).<ext>\"; an INPUT\n"
    "whose name there is another INPUT is refused.\n"
    "\n"
    "Options:\n"
    "  --strength PERCENT  how hard to clean, 0 to 100 (default 60)\n"
    "  --loudness LUFS     normalise the loudness to LUFS (-16 suits speech), the true\n"
    "                      peak kept under -1 dBTP; -70 to 0\n"
    "  --float             write .wav as 32-bit float whatever INPUT's depth\n"
    "  --keep-original-audio\n"
    "                      with a video OUTPUT: also keep INPUT's own sound, as a\n"
    "                      second audio track titled \"Original\"\n"
    "  --hum MODE          the reference engine's mains-hum notches (the adaptive\n"
    "                      engine takes hum out with the rest of the noise): auto\n"
    "                      (where hum is found, the default),\n"
    "                      always (all sixteen, 50-400 and 60-480 Hz) or off\n"
    "  --engine ENGINE     adaptive (follows noise that drifts, deeper in the pauses;\n"
    "                      the default) or reference (the first, literal cascade)\n"
    "  --verbose           say on stderr which hum lines --hum auto found and how\n"
    "                      much quieter the noise sample is than the rest\n"
    "  --noise-from START-END\n"
    "                      take the noise sample from this stretch, in seconds\n"
    "                      (e.g. 0.5-3.5), instead of the quietest frames\n"
    "  --removed FILE      also write what was removed (INPUT minus the cleaned audio,\n"
    "                      before any loudness change) to FILE, in OUTPUT's format\n"
    "                      (not with -o); both files are written or neither\n"
    "  -o FOLDER           clean every INPUT into FOLDER (made when missing)\n"
    "  --format FORMAT     with -o or OUTPUT -: wav (default), flac, m4a, or with -o\n"
    "                      video (each INPUT's own container)\n"
    "  -j N                work on N threads (default: one per processor)\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "An existing OUTPUT is replaced only once the new file is complete.\n"
    "Exit status: 0 on success, 1 on failure (of any INPUT), 2 on bad usage; 130,\n"
    "143 or 129 when interrupted by SIGINT, SIGTERM or SIGHUP (nothing is written then).\n";

namespace {

// The loudness targets --loudness takes, in LUFS: -70 is the gate below which EBU R128
// counts nothing as sound; 0 leaves no room under the -1 dBTP ceiling for any signal with
// a crest.
constexpr double kMinLoudness = -70.0;
constexpr double kMaxLoudness = 0.0;

// More threads than this only cost memory: no machine Taln runs on has that many processors.
constexpr long kMaxJobs = 1024;

// A stretch beyond 2^53 samples at 192 kHz (1,500 years) is no recording.
constexpr double kLongestSeconds = 9.0e15 / 192000.0;

bool isDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

// The length of the plain decimal number that starts `text` (0 when none does): digits, an
// optional fraction, an optional exponent; an "e" not followed by digits is not part of it.
std::size_t decimalLength(std::string_view text, bool signedNumber) {
    std::size_t i = 0;
    if (signedNumber && i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    const std::size_t start = i;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
    }
    bool digits = i > start;
    if (i < text.size() && text[i] == '.') {
        const std::size_t fraction = ++i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
        }
        digits = digits || i > fraction;
    }
    if (!digits) {
        return 0;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            ++j;
        }
        const std::size_t exponent = j;
        while (j < text.size() && isDigit(text[j])) {
            ++j;
        }
        if (j > exponent) {
            i = j;
        }
    }
    return i;
}

double parsePercent(const std::string& text) {
    const auto value = parseDecimal(text, true);
    if (!value || *value < 0.0 || *value > 100.0) {
        throw UsageError("--strength needs a number from 0 to 100, not \"" + text + "\"");
    }
    return *value;
}

double parseLoudness(const std::string& text) {
    const auto value = parseDecimal(text, true);
    if (!value || *value < kMinLoudness || *value > kMaxLoudness) {
        throw UsageError("--loudness needs a number of LUFS from -70 to 0, not \"" + text + "\"");
    }
    return *value;
}

int parseJobs(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size() || value < 1 || value > kMaxJobs) {
        throw UsageError("-j needs a whole number of threads from 1 to " +
                         std::to_string(kMaxJobs) + ", not \"" + text + "\"");
    }
    return static_cast<int>(value);
}

// `text` as one of `names`, in order of `values`; UsageError naming `option` otherwise.
template <typename T, std::size_t N>
T parseChoice(const std::string& option, const std::string& text, const char* const (&names)[N],
              const T (&values)[N], const char* choices) {
    for (std::size_t i = 0; i < N; ++i) {
        if (text == names[i]) {
            return values[i];
        }
    }
    throw UsageError(option + " needs " + choices + ", not \"" + text + "\"");
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

// The value of option `name` at arguments[i], given as "NAME VALUE" (i moves past VALUE) or
// "NAME=VALUE"; nothing when arguments[i] is another option.
std::optional<std::string> optionValue(const std::string& name,
                                       const std::vector<std::string>& arguments, std::size_t& i) {
    const std::string& arg = arguments[i];
    if (arg == name) {
        if (i + 1 >= arguments.size()) {
            throw UsageError(name + " needs a value");
        }
        return arguments[++i];
    }
    if (arg.rfind(name + "=", 0) == 0) {
        return arg.substr(name.size() + 1);
    }
    return std::nullopt;
}

// The options of the batch form, once its operands are known.
void checkBatch(std::vector<std::string> operands, Options& options) {
    if (operands.empty()) {
        throw UsageError("expected at least one INPUT before -o FOLDER");
    }
    options.inputs.assign(operands.begin(), operands.end());
    if (!options.removed.empty()) {
        throw UsageError("--removed needs the single form, INPUT OUTPUT");
    }
    if (options.floatWav && options.format != Format::wav) {
        throw UsageError("--float needs --format wav");
    }
    if (options.keepOriginalAudio && options.format != Format::video) {
        throw UsageError("--keep-original-audio needs --format video");
    }
    if (std::find(options.inputs.begin(), options.inputs.end(), kStandardStream) !=
        options.inputs.end()) {
        throw UsageError("standard input (-) is cleaned in the single form, INPUT OUTPUT");
    }
}

// The options of the single form, INPUT OUTPUT.
void checkSingle(const std::vector<std::string>& operands, bool formatGiven, Options& options) {
    if (operands.size() != 2) {
        throw UsageError("expected INPUT and OUTPUT, got " + std::to_string(operands.size()) +
                         (operands.size() == 1 ? " file" : " files"));
    }
    options.input = operands[0];
    options.output = operands[1];
    const std::string extension = lowercase(options.output.extension().string());
    if (options.output == kStandardStream) {
        // A pipe holds audio only; WAV unless --format says otherwise.
        if (options.format == Format::video) {
            throw UsageError("standard output (-) takes --format wav, flac or m4a");
        }
    } else if (formatGiven) {
        throw UsageError("--format needs -o FOLDER or OUTPUT -; OUTPUT's extension names the "
                         "format");
    } else if (extension == ".wav") {
        options.format = Format::wav;
    } else if (extension == ".flac") {
        options.format = Format::flac;
    } else if (extension == ".m4a") {
        options.format = Format::m4a;
    } else if (VideoExporter::isVideoPath(options.output)) {
        options.format = Format::video;
    } else {
        throw UsageError(
            "OUTPUT must end in .wav, .flac, .m4a, .mp4, .m4v, .mov, .mkv or .webm, or be -");
    }
    if (options.floatWav && options.format != Format::wav) {
        throw UsageError("--float needs a .wav OUTPUT");
    }
    if (options.keepOriginalAudio && options.format != Format::video) {
        throw UsageError("--keep-original-audio needs a video OUTPUT");
    }
    if (options.format == Format::video && options.input == kStandardStream) {
        throw UsageError("a video OUTPUT needs INPUT as a file: its picture is copied from it");
    }
    if (options.removed.empty()) {
        return;
    }
    // What was removed is written as OUTPUT is, so that the two add up to INPUT.
    if (options.format == Format::video || options.output == kStandardStream ||
        lowercase(options.removed.extension().string()) != extension) {
        throw UsageError(
            "--removed FILE must end in the same extension as OUTPUT, .wav, .flac or .m4a");
    }
    if (sameFile(options.removed, options.output)) {
        throw UsageError("--removed FILE must be another file than OUTPUT, not " +
                         options.removed.string());
    }
}

} // namespace

std::optional<double> parseDecimal(std::string_view text, bool signedNumber) {
    if (text.empty() || decimalLength(text, signedNumber) != text.size()) {
        return std::nullopt;
    }
    // from_chars takes no '+'; the grammar is checked above, so it reads the whole text.
    if (text.front() == '+') {
        text.remove_prefix(1);
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::pair<double, double> parseStretch(const std::string& text) {
    const std::string bad =
        "--noise-from needs START-END in seconds, like 0.5-3.5, not \"" + text + "\"";
    const std::size_t dash = decimalLength(text, false);
    if (dash == 0 || dash >= text.size() || text[dash] != '-') {
        throw UsageError(bad);
    }
    const auto start = parseDecimal(std::string_view(text).substr(0, dash));
    const auto end = parseDecimal(std::string_view(text).substr(dash + 1));
    if (!start || !end || !(*end > *start) || !(*end < kLongestSeconds)) {
        throw UsageError(bad);
    }
    return {*start, *end};
}

std::string fileIdentity(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        return "inode " + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    }
    std::error_code ec;
    // A link to a file yet to be made names that file (as many links deep as the system follows).
    std::filesystem::path link = path;
    for (int depth = 0; depth < 40 && std::filesystem::is_symlink(link, ec); ++depth) {
        const std::filesystem::path target = std::filesystem::read_symlink(link, ec);
        if (ec) {
            break;
        }
        link = target.is_absolute() ? target : link.parent_path() / target;
    }
    // Absolute first: weakly_canonical leaves a relative path none of whose parts exist as it
    // is, so "out.wav" and "./out.wav" would differ.
    const std::filesystem::path absolute = std::filesystem::absolute(link, ec);
    std::filesystem::path real = std::filesystem::weakly_canonical(absolute, ec);
    if (ec) {
        real = absolute;
    }
    return "path " + real.lexically_normal().string();
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    return fileIdentity(a) == fileIdentity(b);
}

Request parse(const std::vector<std::string>& arguments, Options& options) {
    static const char* const humNames[] = {"auto", "always", "off"};
    static const HumMode humModes[] = {HumMode::automatic, HumMode::always, HumMode::off};
    static const char* const engineNames[] = {"adaptive", "reference"};
    static const Cleaner::Engine engines[] = {Cleaner::Engine::adaptive,
                                              Cleaner::Engine::reference};
    static const char* const formatNames[] = {"wav", "flac", "m4a", "video"};
    static const Format formats[] = {Format::wav, Format::flac, Format::m4a, Format::video};
    std::vector<std::string> operands;
    bool optionsEnded = false;
    bool formatGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string arg = arguments[i];
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
        } else if (arg == "--keep-original-audio") {
            options.keepOriginalAudio = true;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (const auto value = optionValue("--strength", arguments, i)) {
            options.strength = parsePercent(*value);
        } else if (const auto lufs = optionValue("--loudness", arguments, i)) {
            options.loudness = parseLoudness(*lufs);
        } else if (const auto format = optionValue("--format", arguments, i)) {
            options.format =
                parseChoice("--format", *format, formatNames, formats, "wav, flac, m4a or video");
            formatGiven = true;
        } else if (const auto folder = optionValue("-o", arguments, i)) {
            if (options.folder) {
                throw UsageError("-o FOLDER is given twice");
            }
            options.folder = *folder;
        } else if (const auto value = optionValue("--hum", arguments, i)) {
            options.hum = parseChoice("--hum", *value, humNames, humModes, "auto, always or off");
        } else if (const auto value = optionValue("--engine", arguments, i)) {
            options.engine =
                parseChoice("--engine", *value, engineNames, engines, "adaptive or reference");
        } else if (const auto value = optionValue("--noise-from", arguments, i)) {
            options.noiseFrom = parseStretch(*value);
        } else if (const auto value = optionValue("--removed", arguments, i)) {
            options.removed = *value;
            if (options.removed.empty()) {
                throw UsageError("--removed needs a file name");
            }
        } else if (const auto value = optionValue("-j", arguments, i)) {
            options.jobs = parseJobs(*value);
        } else if (arg.rfind("-j", 0) == 0 && arg.rfind("--", 0) != 0) {
            options.jobs = parseJobs(arg.substr(2));
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    if (options.folder) {
        checkBatch(std::move(operands), options);
    } else {
        checkSingle(operands, formatGiven, options);
    }
    return Request::clean;
}

} // namespace taln::cli
