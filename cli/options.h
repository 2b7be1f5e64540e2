#pragma once

// taln-clean's command line: what a run asks for, parsed and checked before any file is read.
//
//   taln-clean [options] INPUT OUTPUT
//   taln-clean [options] INPUT... -o FOLDER
//
// Everything parse() refuses is a usage error (exit status 2): an unknown option, a value out
// of range or not a plain decimal number, operands that fit neither form, options that do not go
// together, an OUTPUT whose extension names no format, and --removed naming OUTPUT by any path.
// The one check that reads the file system is the last: whether two paths are one file.

#include "audio/audio_exporter.h"
#include "audio/output_names.h"
#include "engine/cleaner.h"
#include "engine/strength.h"
#include "engine/worker_pool.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace taln::cli {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// What an OUTPUT holds.
using Format = OutputNames::Format;

enum class HumMode { automatic, always, off };

// INPUT and OUTPUT "-": standard input and standard output.
inline const std::filesystem::path kStandardStream = "-";

struct Options {
    double strength = Strength::kDefaultPercent;
    bool floatWav = false;
    bool keepOriginalAudio = false;
    std::optional<double> loudness;
    HumMode hum = HumMode::automatic;
    Cleaner::Engine engine = Cleaner::kDefaultEngine;
    bool verbose = false;
    int jobs = WorkerPool::hardwareThreads();
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

// The help text.
extern const char* const kUsage;

// Fills `options` (as default-constructed) from `arguments`, the command line without the
// program's name. UsageError saying what is wrong.
Request parse(const std::vector<std::string>& arguments, Options& options);

// A plain decimal number: digits with an optional fraction and an optional exponent ("0.5",
// ".5", "2.", "1e-3"), signed when `signedNumber` allows it; nothing for anything else (hex,
// "inf", "nan", spaces, an empty text).
std::optional<double> parseDecimal(std::string_view text, bool signedNumber = false);

// "START-END" in seconds, plain decimals, 0 <= START < END: "0.5-3.5", "1e-3-0.1".
std::pair<double, double> parseStretch(const std::string& text);

// What names one file, so that any two names of it compare equal: the device and inode of a
// file that exists (every link, symbolic or hard, to it has the same), else the path made
// absolute and normal, with the links of the folders it is in followed.
std::string fileIdentity(const std::filesystem::path& path);

// Whether `a` and `b` name one file (fileIdentity).
bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b);

} // namespace taln::cli
