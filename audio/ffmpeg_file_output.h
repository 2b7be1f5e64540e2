#pragma once

// The atomic file replacer under its former name, for taln-clean until it names ReplacingFile
// itself; nothing else includes this header.

#include "audio/replacing_file.h"

namespace taln {

using FfmpegFileOutput = ReplacingFile;

} // namespace taln
