#pragma once

// taln-clean's batch form, INPUT... -o FOLDER: FOLDER made when missing, then every INPUT in
// turn into FOLDER as "<name> (Taln).<ext>" (OutputNames), each failure reported on a line of its
// own, naming the INPUT by the path it was given, while the rest still run.
//
// Before anything is written the run is planned: an INPUT listed again (by any path to the same
// file) is cleaned once, and an INPUT whose OUTPUT would be any INPUT of the run (by path, link
// or hard link) is refused, whatever the order, so that no recording is written over. While it
// runs, an OUTPUT that another INPUT of the run has already written is not written again.

#include "cli/options.h"
#include "engine/worker_pool.h"

#include <filesystem>
#include <string>
#include <vector>

namespace taln::cli {

// One INPUT of a batch and what becomes of it.
struct BatchItem {
    std::filesystem::path input;
    std::filesystem::path output;
    // Why it is refused before the run (its OUTPUT is an INPUT); empty when it is cleaned.
    std::string refusal;
};

// The batch's INPUTs in their order, each file once, with their OUTPUTs.
std::vector<BatchItem> planBatch(const Options& options);

// Runs the batch form on `pool`; the exit status.
int cleanAll(const Options& options, WorkerPool& pool);

} // namespace taln::cli
