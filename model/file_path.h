#pragma once

// toPath: the file system's name for a path the user chose, as FFmpeg and the system calls take
// it. Any thread.

#include <QString>
#include <filesystem>

namespace taln {

// `path` in the file system's own encoding (QFile::encodeName).
std::filesystem::path toPath(const QString& path);

} // namespace taln
