#pragma once

// File vetting: what a load checks about a path before the decoder opens it, and the file
// system's name for a path the user chose. Any thread.

#include <QString>
#include <filesystem>

namespace taln {

// Throws std::runtime_error "<name>: Not a regular file" for a named pipe, socket or device.
// A named pipe, socket or device is no recording, and reading one may never end: opening a
// pipe waits for a writer that may never come, and /dev/zero or /dev/urandom go on for ever,
// so the load would hang and hold its thread until the program quits. A directory and a path
// that cannot be examined (missing, a symlink loop) pass, and go to the decoder, which names
// the system's reason.
void refuseSpecialFile(const std::filesystem::path& file, const QString& name);

// `path` in the file system's own encoding (QFile::encodeName), as FFmpeg and the system
// calls take it.
std::filesystem::path toPath(const QString& path);

} // namespace taln
