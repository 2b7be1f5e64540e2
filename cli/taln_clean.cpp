// taln-clean: Taln's engine from the command line, for batch work and for measuring.
//
//   taln-clean [options] INPUT OUTPUT
//   taln-clean [options] INPUT... -o FOLDER
//
// Decodes INPUT (any file FFmpeg opens), estimates one noise sample per channel (its profile
// and hum lines), cleans the channels by pieces on N threads (-j), normalises the loudness
// when asked, and writes OUTPUT as its extension names: WAV, M4A, or the input video with its
// sound replaced. A WAV or M4A OUTPUT without loudness is written piece by piece while the
// cleaning runs. The second form cleans every INPUT the same way (strength, hum, -j,
// loudness) into FOLDER as "<name> (Taln).<ext>", one after another; a file that fails is
// reported by name and the others still run.
// OUTPUT's folder is checked, OUTPUT refused when it is INPUT, and a video OUTPUT refused
// for an INPUT without video, before any decoding.
// The noise sample comes from each channel's quietest frames, or from a chosen stretch
// (--noise-from); --removed also writes INPUT minus OUTPUT.
// Exit status: 0 done (a warning on stderr when INPUT decodes well short of its stated
// length, or when its quietest stretches make a doubtful noise sample), 1 failed (one line on
// stderr per failed INPUT, no OUTPUT written for it), 2 bad usage; 130, 143 and 129 when ended by
// SIGINT, SIGTERM or SIGHUP (the temporary file removed, no OUTPUT written).

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_file_output.h"
#include "audio/huge_pages.h"
#include "audio/loudness.h"
#include "audio/loudness_meter.h"
#include "audio/output_names.h"
#include "audio/spill_file.h"
#include "audio/video_exporter.h"
#include "engine/cancel_token.h"
#include "engine/cleaner.h"
#include "engine/cleaning_pieces.h"
#include "engine/hum_detector.h"
#include "engine/noise_sample.h"
#include "engine/real_fft.h"
#include "engine/strength.h"
#include "engine/worker_pool.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
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
    "With -o, every INPUT is cleaned into FOLDER as \"<name> (Taln).<ext>\".\n"
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
    "  --removed FILE      also write what was removed (INPUT minus OUTPUT) to FILE,\n"
    "                      in OUTPUT's format (not with -o)\n"
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

// What an OUTPUT holds.
enum class Format { wav, flac, m4a, video };

// INPUT and OUTPUT "-": standard input and standard output.
const std::filesystem::path kStandardStream = "-";

// The loudness targets --loudness takes, in LUFS: -70 is the gate below which EBU R128
// counts nothing as sound; 0 leaves no room under the -1 dBTP ceiling for any signal with
// a crest.
constexpr double kMinLoudness = -70.0;
constexpr double kMaxLoudness = 0.0;

enum class HumMode { automatic, always, off };

struct Options {
    double strength = taln::Strength::kDefaultPercent;
    bool floatWav = false;
    bool keepOriginalAudio = false;
    std::optional<double> loudness;
    HumMode hum = HumMode::automatic;
    taln::Cleaner::Engine engine = taln::Cleaner::kDefaultEngine;
    bool verbose = false;
    int jobs = taln::WorkerPool::hardwareThreads();
    // Seconds [first, last) of each channel for the noise sample; none: the quietest frames.
    std::optional<std::pair<double, double>> noiseFrom;
    // The single form: one INPUT and its OUTPUT, and where what was removed goes (if asked).
    std::filesystem::path removed;
    std::filesystem::path input;
    std::filesystem::path output;
    Format format = Format::wav;
    // The batch form (-o): every INPUT into the folder.
    std::vector<std::filesystem::path> inputs;
    std::optional<std::filesystem::path> folder;
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

double parseLoudness(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) ||
        value < kMinLoudness || value > kMaxLoudness) {
        throw UsageError("--loudness needs a number of LUFS from -70 to 0, not \"" + text + "\"");
    }
    return value;
}

Format parseFormat(const std::string& text) {
    if (text == "wav") {
        return Format::wav;
    }
    if (text == "m4a") {
        return Format::m4a;
    }
    if (text == "flac") {
        return Format::flac;
    }
    if (text == "video") {
        return Format::video;
    }
    throw UsageError("--format needs wav, flac, m4a or video, not \"" + text + "\"");
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

taln::Cleaner::Engine parseEngine(const std::string& text) {
    if (text == "adaptive") {
        return taln::Cleaner::Engine::adaptive;
    }
    if (text == "reference") {
        return taln::Cleaner::Engine::reference;
    }
    throw UsageError("--engine needs adaptive or reference, not \"" + text + "\"");
}

// Without a wisdom file to keep them in, measured FFT plans take 0.3 to 0.6 s to make in every
// run and save about 0.08 s of one thread per 10 minutes of channel at 44.1 kHz: they pay only
// from about an hour of audio per thread, 158.76 million frames.
constexpr std::int64_t kMeasuredPlansFrom = 3600 * 44100;

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

// "START-END" in seconds, 0 <= START < END (samples floor(START × rate) up to floor(END × rate)
// once the rate is known).
std::pair<double, double> parseStretch(const std::string& text) {
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
    // A stretch beyond 2^53 samples at 192 kHz (1,500 years) is no recording.
    constexpr double kLongest = 9.0e15 / 192000.0;
    if (startText.empty() || endText.empty() || startEnd != startText.c_str() + startText.size() ||
        endEnd != endText.c_str() + endText.size() || !(start >= 0.0) || !(end > start) ||
        !(end < kLongest)) {
        throw UsageError(bad);
    }
    return {start, end};
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
    bool formatGiven = false;
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
        } else if (arg == "--keep-original-audio") {
            options.keepOriginalAudio = true;
        } else if (const auto value = optionValue("--strength", argc, argv, i)) {
            options.strength = parsePercent(*value);
        } else if (const auto lufs = optionValue("--loudness", argc, argv, i)) {
            options.loudness = parseLoudness(*lufs);
        } else if (const auto format = optionValue("--format", argc, argv, i)) {
            options.format = parseFormat(*format);
            formatGiven = true;
        } else if (const auto folder = optionValue("-o", argc, argv, i)) {
            options.folder = *folder;
        } else if (const auto value = optionValue("--hum", argc, argv, i)) {
            options.hum = parseHum(*value);
        } else if (const auto value = optionValue("--engine", argc, argv, i)) {
            options.engine = parseEngine(*value);
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
    if (options.folder) {
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
        return Request::clean;
    }
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
    } else if (taln::VideoExporter::isVideoPath(options.output)) {
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
    // What was removed is written as OUTPUT is, so that the two add up to INPUT.
    if (!options.removed.empty() &&
        (options.format == Format::video || options.output == kStandardStream ||
         lowercase(options.removed.extension().string()) != extension)) {
        throw UsageError(
            "--removed FILE must end in the same extension as OUTPUT, .wav, .flac or .m4a");
    }
    return Request::clean;
}

// OUTPUT must not be INPUT by any name (a link, another path to it): the cleaned audio would
// replace the original recording. Both must exist to be the same file.
void refuseOutputThatIsInput(const std::filesystem::path& input,
                             const std::filesystem::path& output) {
    std::error_code ec;
    if (std::filesystem::equivalent(input, output, ec) && !ec) {
        throw std::runtime_error(taln::displayName(output) + " is the input file: " +
                                 "choose another OUTPUT to keep the original recording");
    }
}

// What the pieces clean into. Whole: each channel in one buffer, as the caller gets it back.
// Otherwise a buffer per piece while it is in flight, handed back once its stretch is written
// and used again for a later piece, so that a run that only writes its output touches a few
// pieces' worth of new memory instead of a second copy of the recording: the kernel fills new
// memory with zeros first, 0.01 to 0.1 s per 100 MB (more on a virtual machine whose host must
// find the memory too). Any thread; each piece of each channel is asked for once.
class CleanedPieces {
public:
    CleanedPieces(const std::vector<taln::CleaningPieces::Range>& pieces, std::size_t channels,
                  bool whole)
        : pieces_(pieces), held_(pieces.size()) {
        for (auto& piece : held_) {
            piece.resize(channels);
        }
        for (const auto& piece : pieces_) {
            longest_ = std::max(longest_, piece.end - piece.begin);
        }
        // Address space only: the pages are touched as the pieces clean into them.
        for (std::size_t c = 0; whole && c < channels; ++c) {
            whole_.push_back(allocate(pieces_.empty() ? 0 : pieces_.back().end));
        }
    }

    std::span<float> into(std::size_t c, std::size_t k) {
        const taln::CleaningPieces::Range piece = pieces_[k];
        const auto length = static_cast<std::size_t>(piece.end - piece.begin);
        if (!whole_.empty()) {
            return {whole_[c].get() + piece.begin, length};
        }
        {
            const std::lock_guard lock(mutex_);
            if (!spare_.empty()) {
                held_[k][c] = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        if (!held_[k][c]) {
            held_[k][c] = allocate(longest_);
        }
        return {held_[k][c].get(), length};
    }

    const float* cleaned(std::size_t c, std::size_t k) const {
        return whole_.empty() ? held_[k][c].get() : whole_[c].get() + pieces_[k].begin;
    }

    // Stretch k is written: its buffers may serve later pieces.
    void written(std::size_t k) {
        const std::lock_guard lock(mutex_);
        for (auto& buffer : held_[k]) {
            if (buffer) {
                spare_.push_back(std::move(buffer));
            }
        }
    }

    // The whole channels, copied (whole runs; else nothing).
    taln::Channels channels() const {
        taln::Channels result;
        const std::int64_t frames = pieces_.empty() ? 0 : pieces_.back().end;
        for (const auto& channel : whole_) {
            result.push_back(
                std::make_shared<const taln::Channel>(channel.get(), channel.get() + frames));
        }
        return result;
    }

private:
    static std::unique_ptr<float[]> allocate(std::int64_t frames) {
        const auto size = static_cast<std::size_t>(frames);
        std::unique_ptr<float[]> buffer(new float[size]);
        taln::adviseHugePages(buffer.get(), size * sizeof(float));
        return buffer;
    }

    const std::vector<taln::CleaningPieces::Range>& pieces_;
    std::int64_t longest_ = 0;
    std::vector<std::unique_ptr<float[]>> whole_;
    std::vector<std::vector<std::unique_ptr<float[]>>> held_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<float[]>> spare_;
};

// Where cleanChannels hands each cleaned stretch, in order.
using Sink = std::function<void(std::span<const float* const> channels, std::int64_t frames)>;

// Samples every channel's noise (from `stretch`, else from its quietest frames) and cleans it
// by pieces, with the hum notches `mode` asks for; `found` receives each channel's notches and
// `noise` each channel's noise sample. With a `sink`, each stretch of frames is handed to it
// (written, or measured) as soon as every channel's piece of it is cleaned, while later pieces
// are still cleaning.
// The cleaned channels are returned when `keep` asks for them (a copy: the pieces clean into
// buffers that nobody fills with zeros first, 0.03 s of one thread per 10 minutes of channel),
// else nothing, and the pieces then reuse a few buffers (CleanedPieces).
// Everything runs on the `jobs` threads of one pool: -j 1 measures, cleans and writes on one
// thread, one step after another. A stretch is handed over by the thread that finishes the
// last piece due, one thread at a time. The first error of any task (a piece, a write) stops
// the rest and is rethrown here after all of them have ended.
taln::Channels cleanChannels(const taln::Channels& original, double sampleRate,
                             std::uint64_t channelMask, float strength, HumMode mode,
                             taln::Cleaner::Engine engine,
                             const std::optional<std::pair<std::int64_t, std::int64_t>>& stretch,
                             int jobs, std::vector<taln::Cleaner::HumMask>& found,
                             std::vector<taln::NoiseSample>& noise, const Sink& sink, bool keep) {
    const std::size_t count = original.size();
    found.assign(count, taln::Cleaner::kNoHum);
    noise.assign(count, {});
    const std::int64_t n = taln::frameCount(original);
    // With a wisdom file, main() has the measured plans made (or is making them): asking for
    // estimated ones here could win the race to the planner and keep them from being saved.
    if (taln::RealFFT::wisdomFile().empty()) {
        const auto planning = n * static_cast<std::int64_t>(count) / jobs >= kMeasuredPlansFrom
                                  ? taln::RealFFT::Planning::measured
                                  : taln::RealFFT::Planning::estimated;
        taln::RealFFT::prepare(taln::Cleaner::kFrameLength, planning);
    }
    // Cancelled only by a failure, so that the other tasks end early.
    taln::CancelToken token;
    taln::WorkerPool pool(jobs);
    taln::WorkerPool::TaskGroup group(pool);

    // Stretch k of every channel is piece k; left[k] counts the channels still cleaning it.
    const std::vector<taln::CleaningPieces::Range> pieces =
        taln::CleaningPieces::splitForThreads(n, sampleRate, jobs);
    CleanedPieces cleaned(pieces, count, keep);
    std::vector<std::atomic<std::size_t>> left(pieces.size());
    for (auto& channels : left) {
        channels.store(count);
    }
    std::atomic<std::size_t> nextToWrite{0};
    std::atomic<bool> writing{false};
    std::vector<const float*> frames(count);
    const auto ready = [&](std::size_t k) { return k < pieces.size() && left[k].load() == 0; };
    // Writes the stretches that are cleaned, in order, unless another thread is writing: that
    // one sees this thread's stretch when it looks again after letting go.
    const auto writeReady = [&] {
        while (sink && !writing.exchange(true)) {
            std::size_t k = nextToWrite.load();
            try {
                for (; ready(k) && !token.cancelled(); nextToWrite.store(++k)) {
                    for (std::size_t c = 0; c < count; ++c) {
                        frames[c] = cleaned.cleaned(c, k);
                    }
                    sink(frames, pieces[k].end - pieces[k].begin);
                    cleaned.written(k);
                }
            } catch (...) {
                token.cancel();
                writing.store(false);
                throw;
            }
            writing.store(false);
            if (!ready(k) || token.cancelled()) {
                return;
            }
        }
    };
    const auto cleanPiece = [&](std::size_t c, std::size_t k) {
        const taln::CleaningPieces::Range piece = pieces[k];
        try {
            taln::CleaningPieces::cleanInChannel(
                *original[c], piece, cleaned.into(c, k), noise[c].profile, strength, sampleRate,
                token, found[c], engine, &noise[c].track,
                taln::isLowFrequencyEffects(channelMask, static_cast<int>(count),
                                            static_cast<int>(c)));
        } catch (...) {
            token.cancel();
            throw;
        }
        if (left[k].fetch_sub(1) == 1) {
            writeReady();
        }
    };

    // Each channel's noise sample is measured in steps: the energies its frames are chosen by
    // are summed in halves at once, then its frames are chosen, then its profile and its hum
    // lines (and, for the adaptive engine, its noise track) are found at once. The last of these
    // tasks to end posts the pieces, stretch by stretch.
    const int halves = jobs > 1 ? 2 : 1;
    const bool tracking = engine == taln::Cleaner::Engine::adaptive;
    std::vector<std::optional<taln::NoiseSample::Steps>> steps(count);
    std::vector<std::atomic<int>> summing(count);
    std::atomic<std::size_t> preparing{(tracking ? 3 : 2) * count};
    const auto prepared = [&] {
        if (preparing.fetch_sub(1) != 1) {
            return;
        }
        for (std::size_t c = 0; c < count; ++c) {
            noise[c] = std::move(*steps[c]).take();
            found[c] = mode == HumMode::always ? taln::Cleaner::kAllHum
                       : mode == HumMode::off  ? taln::Cleaner::kNoHum
                                               : noise[c].hum;
        }
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            for (std::size_t p = 0; p < count; ++p) {
                group.run([&, p, k] { cleanPiece(p, k); });
            }
        }
    };
    for (std::size_t c = 0; c < count; ++c) {
        const auto [first, last] =
            stretch.value_or(std::pair{std::int64_t{0}, std::numeric_limits<std::int64_t>::max()});
        steps[c].emplace(*original[c], sampleRate, first, last, halves);
        summing[c].store(halves);
        for (int half = 0; half < halves; ++half) {
            group.run([&, c, half] {
                steps[c]->sumHops(half);
                if (summing[c].fetch_sub(1) != 1) {
                    return;
                }
                steps[c]->choose();
                if (tracking) {
                    group.run([&, c] {
                        steps[c]->trackNoise();
                        prepared();
                    });
                }
                group.run([&, c] {
                    steps[c]->detectHum();
                    prepared();
                });
                steps[c]->averageProfile();
                prepared();
            });
        }
    }
    group.wait();
    return cleaned.channels();
}

// One line per channel on stderr: the hum lines found and notched, in Hz; each line names
// the file after `who` (empty for the single form, "take.wav: " in a batch).
void reportHum(const std::vector<taln::Cleaner::HumMask>& hum, float strength,
               const std::string& who) {
    for (std::size_t c = 0; c < hum.size(); ++c) {
        std::string lines;
        for (int i = 0; i < taln::HumDetector::kCandidates; ++i) {
            if ((hum[c] & (1u << i)) != 0) {
                lines += (lines.empty() ? "" : ", ") +
                         std::to_string(static_cast<int>(taln::HumDetector::candidateHz(i)));
            }
        }
        // The notches are off at the lowest strengths, whatever was found.
        const char* off =
            taln::Strength::notchesOn(strength) ? "" : " (notches off at this strength)";
        std::fprintf(stderr, "taln-clean: %schannel %zu: %s%s\n", who.c_str(), c + 1,
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
// In samples at `sampleRate` (floor(START × rate) up to floor(END × rate)).
std::pair<std::int64_t, std::int64_t> checkStretch(const std::pair<double, double>& seconds,
                                                   double sampleRate, std::int64_t frames) {
    const auto first =
        std::min(static_cast<std::int64_t>(std::floor(seconds.first * sampleRate)), frames);
    const auto last =
        std::min(static_cast<std::int64_t>(std::floor(seconds.second * sampleRate)), frames);
    if (last - first < taln::Cleaner::kFrameLength) {
        char shortest[32];
        std::snprintf(shortest, sizeof shortest, "%.2f",
                      double(taln::Cleaner::kFrameLength) / sampleRate);
        throw std::runtime_error("the --noise-from stretch holds " + std::to_string(last - first) +
                                 " samples of the input; a noise sample needs at least 2048 (" +
                                 shortest + " s)");
    }
    return {first, last};
}

// The steps of cleaning one file, in order.
enum class Step { start, decode, clean, loudness, write };

// The progress of one file on a terminal: a line redrawn in place, "name  45%  12.3x real
// time" (the audio's length over the time taken so far), ended when the file is done.
// The percentage moves at the end of each step by the step's share of the time, as measured
// on a 10-minute stereo recording of speech over noise (2 threads): decoding 0.5 s,
// cleaning 1.8 s, loudness 2.3 s, writing WAV 0.3 s, encoding AAC or Opus 13 s.
class Progress {
public:
    Progress(std::string name, bool loudness, Format format)
        : name_(std::move(name)), loudness_(loudness), format_(format),
          start_(std::chrono::steady_clock::now()) {}

    // Called once the length of the audio is known.
    void setSeconds(double seconds) { seconds_ = seconds; }

    // Shows the line as it stands at the end of `step`.
    void done(Step step) const {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::string speed;
        if (seconds_ > 0.0 && elapsed > 0.0) {
            char text[48];
            std::snprintf(text, sizeof text, "  %.1fx real time", seconds_ / elapsed);
            speed = text;
        }
        const int percent = static_cast<int>(std::lround(100.0 * until(step) / until(Step::write)));
        // \r and "erase to the end of the line": the line is redrawn in place.
        std::fprintf(stderr, "\r\033[K%s  %3d%%%s%s", name_.c_str(), percent, speed.c_str(),
                     step == Step::write ? "\n" : "");
        std::fflush(stderr);
    }

    // Clears an unfinished line, so that an error is printed on a line of its own.
    static void clear() { std::fputs("\r\033[K", stderr); }

private:
    // The measured seconds of the steps up to the end of `step`.
    double until(Step step) const {
        const double write = format_ == Format::wav ? 0.3 : format_ == Format::flac ? 1.5 : 13.0;
        const double steps[] = {0.0, 0.5, 1.8, loudness_ ? 2.3 : 0.0, write};
        double sum = 0.0;
        for (int i = 0; i <= static_cast<int>(step); ++i) {
            sum += steps[i];
        }
        return sum;
    }

    std::string name_;
    bool loudness_;
    Format format_;
    double seconds_ = 0.0;
    std::chrono::steady_clock::time_point start_;
};

// The message for a failed INPUT, naming it when the error does not already.
std::string failure(const std::filesystem::path& input, const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error)) {
        return "Not enough memory to clean " + taln::displayName(input);
    }
    const std::string message = error.what();
    const std::string name = taln::displayName(input);
    if (message.rfind(name, 0) == 0 || message.rfind(input.string(), 0) == 0) {
        return message;
    }
    return input.string() + ": " + message;
}

// One warning line on stderr, on a line of its own.
void warn(Progress* progress, const std::string& who, const std::string& text) {
    if (progress) {
        Progress::clear();
    }
    std::fprintf(stderr, "taln-clean: warning: %s%s\n", who.c_str(), text.c_str());
}

taln::AudioExporter::Kind kindOf(Format format) {
    switch (format) {
    case Format::wav:
        return taln::AudioExporter::Kind::wav;
    case Format::flac:
        return taln::AudioExporter::Kind::flac;
    case Format::m4a:
    case Format::video:
        break;
    }
    return taln::AudioExporter::Kind::m4a;
}

// Decodes, cleans, normalises (when asked) and writes one INPUT to OUTPUT as `format`.
void cleanOne(const Options& options, const std::filesystem::path& input,
              const std::filesystem::path& output, Format format, Progress* progress) {
    const bool fromStdin = input == kStandardStream;
    const bool toStdout = output == kStandardStream;
    // Problems with OUTPUT are found before the work, not after it.
    if (!toStdout) {
        taln::FfmpegFileOutput::checkFolder(output);
        refuseOutputThatIsInput(input, output);
    }
    if (format == Format::video && !taln::VideoExporter::hasVideo(input)) {
        throw std::runtime_error(input.string() + " has no video; write .m4a or .wav");
    }
    if (!options.removed.empty()) {
        taln::FfmpegFileOutput::checkFolder(options.removed);
        refuseOutputThatIsInput(input, options.removed);
    }
    // With a second thread, the file is read and decoded on one while the other stores it.
    taln::AudioDecoder::DecodeOptions decoding;
    decoding.decodeAhead = options.jobs > 1;
    const taln::AudioDecoder::Decoded decoded =
        fromStdin ? taln::AudioDecoder::decodeStandardInput(decoding)
                  : taln::AudioDecoder::decodeFile(input, decoding);
    const taln::AudioFormat audioFormat = decoded.format;
    const double rate = audioFormat.sampleRate;
    const std::string who = options.folder ? input.string() + ": " : std::string();
    if (const std::string gaps = taln::AudioDecoder::describeGaps(decoded.gaps, rate);
        !gaps.empty()) {
        warn(progress, who, gaps);
    }
    if (decoded.sourceChannels > static_cast<int>(decoded.channels.size())) {
        warn(progress, who,
             "INPUT has " + std::to_string(decoded.sourceChannels) +
                 " channels; they are folded to 7.1.");
    }
    if (!decoded.shortfallWarning.empty()) {
        warn(progress, "", decoded.shortfallWarning);
    }
    if (progress) {
        progress->setSeconds(double(taln::frameCount(decoded.channels)) / rate);
        progress->done(Step::decode);
    }
    const float strength = taln::Strength::fromPercent(options.strength);
    std::optional<std::pair<std::int64_t, std::int64_t>> noiseFrom;
    if (options.noiseFrom) {
        noiseFrom = checkStretch(*options.noiseFrom, rate, taln::frameCount(decoded.channels));
    }
    const taln::Destination destination =
        toStdout ? taln::Destination::pipe(STDOUT_FILENO) : taln::Destination(output);
    // WAV and M4A are written while the cleaning runs; a video, which needs the whole cleaned
    // recording, after it. A normalised WAV or M4A is measured while the cleaning runs and set
    // aside on disk beside OUTPUT, then read back through the normaliser into the file: no
    // copy of the cleaned recording is held in memory.
    const taln::AudioExporter::Kind kind = kindOf(format);
    const auto count = static_cast<int>(decoded.channels.size());
    const bool spilled = format != Format::video && options.loudness.has_value();
    std::optional<taln::Loudness::Meter> meter;
    std::optional<taln::SpillFile> spill;
    std::optional<taln::AudioExporter::Stream> stream;
    const Sink write = [&stream](std::span<const float* const> frames, std::int64_t n) {
        stream->append(frames, n);
    };
    Sink sink;
    if (spilled) {
        meter.emplace(count, audioFormat);
        // Beside OUTPUT, or in the temporary folder when OUTPUT is a pipe.
        spill.emplace(toStdout ? std::filesystem::temp_directory_path() : output.parent_path(),
                      count);
        sink = [&](std::span<const float* const> frames, std::int64_t n) {
            meter->add(frames, n);
            spill->append(frames, n);
        };
    } else if (format != Format::video) {
        stream.emplace(count, audioFormat, kind, destination, options.floatWav);
        sink = write;
    }
    std::vector<taln::Cleaner::HumMask> hum;
    std::vector<taln::NoiseSample> noise;
    taln::Channels cleaned = cleanChannels(
        decoded.channels, rate, audioFormat.channelMask, strength, options.hum, options.engine,
        noiseFrom, options.jobs, hum, noise, sink, !sink || !options.removed.empty());
    std::optional<taln::Loudness::Report> loudnessReport;
    if (spilled) {
        // An M4A whose encoded peaks pass the ceiling is written again with more margin.
        const taln::Loudness::Measurement measurement = meter->finish();
        // A pipe cannot be written twice: its M4A is written once, with the margin alone.
        const int attempts = toStdout ? 1 : taln::AudioExporter::kWriteAttempts;
        double extraMarginDb = 0.0;
        for (int attempt = 1;; ++attempt) {
            taln::Loudness::Plan plan = taln::Loudness::plan(
                measurement, *options.loudness,
                kind == taln::AudioExporter::Kind::m4a ? taln::Loudness::Encoding::lossy
                                                       : taln::Loudness::Encoding::lossless,
                extraMarginDb);
            plan.stopPastCeiling = attempt < attempts;
            try {
                stream.emplace(count, audioFormat, kind, destination, options.floatWav, plan);
                spill->readBack(write);
                stream->finish();
                loudnessReport = plan.report;
                break;
            } catch (const taln::Loudness::CeilingPassed& passed) {
                stream.reset();
                extraMarginDb += passed.excessDb() + taln::AudioExporter::kRetryStepDb;
            }
        }
        spill.reset();
    } else if (stream) {
        stream->finish();
    }
    // A stretch the user chose is taken as noise on their word; only the quietest frames can
    // be doubtful.
    const bool doubtful =
        !options.noiseFrom && std::any_of(noise.begin(), noise.end(),
                                          [](const taln::NoiseSample& n) { return n.doubtful(); });
    if (progress && (options.verbose || doubtful)) {
        Progress::clear();
    }
    if (options.verbose && options.hum == HumMode::automatic) {
        reportHum(hum, strength, who);
    }
    if (options.verbose) {
        for (std::size_t c = 0; c < noise.size(); ++c) {
            std::fprintf(stderr,
                         "taln-clean: %schannel %zu: noise sample at %.4f of the median frame, "
                         "%.4f of the loudest tenth\n",
                         who.c_str(), c + 1, static_cast<double>(noise[c].quietToMedian),
                         static_cast<double>(noise[c].quietToLoud));
        }
    }
    if (doubtful) {
        std::fprintf(stderr,
                     "taln-clean: warning: %s%s Choose a stretch of noise alone with "
                     "--noise-from START-END.\n",
                     who.c_str(), taln::NoiseSample::kDoubtfulWarning);
    }
    if (progress) {
        progress->done(Step::clean);
    }
    if (options.loudness && progress) {
        progress->done(Step::loudness);
    }
    if (format == Format::video) {
        loudnessReport =
            taln::VideoExporter::write(taln::ChunkedAudio::fromChannels(cleaned), audioFormat,
                                       input, output, {options.keepOriginalAudio, options.loudness})
                .loudness;
    }
    if (!options.removed.empty()) {
        taln::AudioExporter::write(
            taln::ChunkedAudio::fromChannels(removedPart(decoded.channels, cleaned)), audioFormat,
            kind, options.removed, {options.floatWav, {}});
    }
    if (loudnessReport && !loudnessReport->reached()) {
        warn(progress, who, taln::Loudness::describe(*loudnessReport));
    }
    if (progress) {
        progress->done(Step::write);
    }
}

// FOLDER/"<name> (Taln).<ext>" for `input`: its name without the extension, and .wav, .flac,
// .m4a, or for a video its own extension.
std::filesystem::path batchOutput(const std::filesystem::path& folder,
                                  const std::filesystem::path& input, Format format) {
    const std::string name = input.filename().string();
    return folder / (format == Format::video
                         ? taln::OutputNames::cleanedVideoName(name)
                         : taln::OutputNames::cleanedAudioName(name, kindOf(format)));
}

// The batch form: FOLDER made when missing, then every INPUT in turn, each failure
// reported and the rest still run.
int cleanAll(const Options& options) {
    std::error_code ec;
    std::filesystem::create_directories(*options.folder, ec);
    if (ec) {
        std::fprintf(stderr, "taln-clean: cannot make the folder '%s': %s\n",
                     options.folder->c_str(), ec.message().c_str());
        return kExitFailure;
    }
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    std::set<std::filesystem::path> written;
    int failures = 0;
    for (const std::filesystem::path& input : options.inputs) {
        const std::filesystem::path output = batchOutput(*options.folder, input, options.format);
        std::optional<Progress> progress;
        if (terminal) {
            progress.emplace(taln::displayName(input), options.loudness.has_value(),
                             options.format);
            progress->done(Step::start);
        }
        try {
            if (options.format == Format::video) {
                if (!taln::VideoExporter::hasVideo(input)) {
                    throw std::runtime_error(input.string() + " has no video; write .m4a or .wav");
                }
                if (!taln::VideoExporter::isVideoPath(input)) {
                    throw std::runtime_error(
                        input.string() + ": videos are written as .mp4, .m4v, .mov, .mkv or .webm");
                }
            }
            // Two inputs of the same name in different folders would write the same file.
            if (!written.insert(output.lexically_normal()).second) {
                throw std::runtime_error(input.string() + ": another INPUT already wrote " +
                                         output.string());
            }
            cleanOne(options, input, output, options.format, progress ? &*progress : nullptr);
        } catch (const std::exception& error) {
            if (terminal) {
                Progress::clear();
            }
            std::fprintf(stderr, "taln-clean: %s\n", failure(input, error).c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : kExitFailure;
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

    // SIGINT, SIGTERM and SIGHUP end the run without leftovers; SIGXFSZ fails the write.
    taln::FfmpegFileOutput::endOnSignals({SIGINT, SIGTERM, SIGHUP});
    // Errors reach the user once, as one line each; FFmpeg's own log stays quiet.
    taln::quietFfmpegLog();
    // Measured FFT plans clean about a tenth faster. They come from the wisdom file at no
    // cost, or are measured now and saved there (0.3 to 0.6 s of one core, once per machine),
    // on a thread of their own while the first INPUT decodes; with -j 1, before it.
    std::jthread planning;
    if (const std::filesystem::path wisdom = taln::RealFFT::wisdomFile(); !wisdom.empty()) {
        const auto plan = [wisdom] {
            taln::RealFFT::prepare(taln::Cleaner::kFrameLength, taln::RealFFT::Planning::measured,
                                   wisdom);
        };
        if (options.jobs > 1) {
            planning = std::jthread(plan);
        } else {
            plan();
        }
    }
    if (options.folder) {
        return cleanAll(options);
    }
    try {
        cleanOne(options, options.input, options.output, options.format, nullptr);
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
