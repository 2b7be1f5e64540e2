#include "cli/batch.h"

#include "audio/ffmpeg_error.h"
#include "audio/file_error.h"
#include "audio/output_names.h"
#include "audio/video_exporter.h"
#include "audio/wording.h"
#include "cli/clean_file.h"
#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>

namespace taln::cli {

namespace {

// FOLDER/"<name> (Taln).<ext>" for `input`.
std::filesystem::path batchOutput(const std::filesystem::path& folder,
                                  const std::filesystem::path& input, Format format) {
    return folder / OutputNames::cleanedName(input.filename().string(), format);
}

// The message for a failed INPUT, naming it when the error does not already.
std::string failure(const std::filesystem::path& input, const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error) || dynamic_cast<const FileError*>(&error)) {
        return describeFailure(error, input, input.string());
    }
    const std::string message = error.what();
    const std::string name = displayName(input);
    if (message.rfind(name, 0) == 0 || message.rfind(input.string(), 0) == 0) {
        return message;
    }
    return input.string() + ": " + message;
}

// Two INPUTs of one name in different folders must be told apart: a message that names INPUT
// by its file name names it by the path it was given instead.
std::string byPath(const std::filesystem::path& input, std::string message) {
    const std::string name = displayName(input);
    if (name != input.string() && message.rfind(name + ": ", 0) == 0) {
        message.replace(0, name.size(), input.string());
    }
    return message;
}

} // namespace

std::vector<BatchItem> planBatch(const Options& options) {
    std::vector<BatchItem> items;
    // Each INPUT's file, and the INPUT it was first given as.
    std::map<std::string, std::filesystem::path> inputs;
    for (const std::filesystem::path& input : options.inputs) {
        if (inputs.emplace(fileIdentity(input), input).second) {
            items.push_back({input, batchOutput(*options.folder, input, options.format), {}});
        }
    }
    for (BatchItem& item : items) {
        const auto other = inputs.find(fileIdentity(item.output));
        if (other != inputs.end()) {
            item.refusal = item.input.string() + ": its OUTPUT " + item.output.string() +
                           " is the INPUT " + other->second.string() +
                           ", which is kept: choose another FOLDER";
        }
    }
    return items;
}

int cleanAll(const Options& options, WorkerPool& pool) {
    std::error_code ec;
    std::filesystem::create_directories(*options.folder, ec);
    if (ec) {
        std::fprintf(stderr, "taln-clean: cannot make the folder '%s': %s\n",
                     options.folder->c_str(), ec.message().c_str());
        return kExitFailure;
    }
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    // The OUTPUTs written so far.
    std::set<std::string> written;
    int failures = 0;
    for (const BatchItem& item : planBatch(options)) {
        const std::filesystem::path& input = item.input;
        std::optional<Progress> progress;
        if (terminal) {
            progress.emplace(displayName(input), options.loudness.has_value(), options.format);
            progress->done(Step::start);
        }
        try {
            if (!item.refusal.empty()) {
                throw std::runtime_error(item.refusal);
            }
            if (options.format == Format::video) {
                if (!VideoExporter::hasVideo(input)) {
                    throw std::runtime_error(Wording::noVideo(input.string()));
                }
                if (!VideoExporter::isVideoPath(input)) {
                    throw std::runtime_error(
                        input.string() + ": videos are written as .mp4, .m4v, .mov, .mkv or .webm");
                }
            }
            // Two inputs of the same name in different folders would write the same file.
            if (written.count(fileIdentity(item.output)) != 0) {
                throw std::runtime_error(input.string() + ": another INPUT already wrote " +
                                         item.output.string());
            }
            cleanOne(options, pool, input, item.output, options.format,
                     progress ? &*progress : nullptr);
            written.insert(fileIdentity(item.output));
        } catch (const std::exception& error) {
            if (terminal) {
                Progress::clear();
            }
            std::fprintf(stderr, "taln-clean: %s\n", byPath(input, failure(input, error)).c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : kExitFailure;
}

} // namespace taln::cli
