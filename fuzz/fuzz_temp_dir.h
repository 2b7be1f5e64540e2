#pragma once

// FuzzTempDir: one private folder per fuzzing process, for the files a harness writes and
// reads back. Made on first use under $TMPDIR (or /tmp) as "taln-fuzz-XXXXXX", emptied and
// removed when the process exits normally. One thread (libFuzzer runs inputs one at a time).

#include <filesystem>

namespace taln {

class FuzzTempDir {
public:
    // The folder, created on the first call. Aborts if it cannot be made: a harness without
    // its folder would report every input as a failure.
    static const std::filesystem::path& path();

    // Removes every entry of the folder (between inputs), keeping the folder.
    static void clear();
};

} // namespace taln
