// taln-clean: Taln's engine from the command line, for batch work and for measuring.
//
//   taln-clean [options] INPUT OUTPUT
//   taln-clean [options] INPUT... -o FOLDER
//
// The options are parsed and checked first (cli/options.h), then each INPUT is cleaned
// (cli/clean_file.h), one after another in the batch form (cli/batch.h), on one pool of -j
// threads for the whole run.
// Exit status: 0 done (a warning on stderr when INPUT decodes well short of its stated length,
// or when its quietest stretches make a doubtful noise sample), 1 failed (one line on stderr per
// failed INPUT, no OUTPUT written for it), 2 bad usage; 130, 143 and 129 when ended by SIGINT,
// SIGTERM or SIGHUP (the temporary files removed, no OUTPUT written).

#include "audio/ffmpeg_error.h"
#include "audio/file_error.h"
#include "audio/replacing_file.h"
#include "cli/batch.h"
#include "cli/clean_file.h"
#include "cli/options.h"
#include "engine/cleaner.h"
#include "engine/real_fft.h"
#include "engine/worker_pool.h"

#include <signal.h>

#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace taln::cli;
    Options options;
    Request request = Request::clean;
    try {
        request = parse(std::vector<std::string>(argv + 1, argv + argc), options);
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
    taln::ReplacingFile::endOnSignals({SIGINT, SIGTERM, SIGHUP});
    // Errors reach the user once, as one line each; FFmpeg's own log stays quiet.
    taln::quietFfmpegLog();
    taln::WorkerPool pool(options.jobs);
    // Measured FFT plans clean about a tenth faster. They come from the wisdom file at no
    // cost, or are measured now and saved there (0.3 to 0.6 s of one core, once per machine),
    // on one of the pool's threads while the first INPUT decodes; with -j 1, before it.
    std::optional<taln::WorkerPool::TaskGroup> planning;
    if (const std::filesystem::path wisdom = taln::RealFFT::wisdomFile(); !wisdom.empty()) {
        const auto plan = [wisdom] {
            taln::RealFFT::prepare(taln::Cleaner::kFrameLength, taln::RealFFT::Planning::measured,
                                   wisdom);
        };
        if (options.jobs > 1) {
            planning.emplace(pool);
            planning->run(plan);
        } else {
            plan();
        }
    }
    if (options.folder) {
        return cleanAll(options, pool);
    }
    try {
        cleanOne(options, pool, options.input, options.output, options.format, nullptr);
    } catch (const std::exception& error) {
        std::fprintf(
            stderr, "taln-clean: %s\n",
            taln::cli::describeFailure(error, options.input, taln::displayName(options.input))
                .c_str());
        return kExitFailure;
    }
    return 0;
}
