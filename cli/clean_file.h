#pragma once

// One INPUT cleaned into one OUTPUT: taln-clean's work for each file of either form.
//
// OUTPUT's folder is checked, OUTPUT refused when it is INPUT, and a video OUTPUT refused for
// an INPUT without video, before any decoding. Then INPUT is decoded, one noise sample per
// channel measured (its profile and hum lines, from its quietest frames or from the
// --noise-from stretch), and the channels cleaned by pieces on the engine's pool
// (PieceScheduler, in order). A WAV, FLAC or M4A OUTPUT is written stretch by stretch while later
// pieces still clean; with --loudness the cleaned audio is measured as it comes and set aside on
// disk, then read back through the normaliser into the file; a video is written once the whole
// recording is cleaned. --removed writes INPUT minus the cleaned audio (before any loudness
// change) stretch by stretch beside it; both files or neither (see cleanOne).
// Warnings (a decode well short of its stated length, a doubtful noise sample, a loudness not
// reached) go to stderr and leave the run a success.
// Thread: the caller's; the pool's threads clean and write.

#include "cli/options.h"
#include "cli/progress.h"
#include "engine/worker_pool.h"

#include <exception>
#include <filesystem>
#include <string>

namespace taln::cli {

// Cleans `input` into `output` as `format` (options.removed too, in the single form), on
// `pool`. std::exception saying what failed; no OUTPUT is written then.
void cleanOne(const Options& options, WorkerPool& pool, const std::filesystem::path& input,
              const std::filesystem::path& output, Format format, Progress* progress);

// What cleanOne's `error` for `input`, called `name`, says to people: INPUT that could not be
// read worded by its code as the window words it (Wording::readFailure), running out of memory
// as such, and anything else as its what().
std::string describeFailure(const std::exception& error, const std::filesystem::path& input,
                            const std::string& name);

} // namespace taln::cli
