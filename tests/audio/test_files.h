#pragma once

// TestFiles: a temporary folder of audio fixtures made at test time with the `ffmpeg`
// command-line tool, removed when the process ends. Each fixture is made once per process,
// on first use, and is a few seconds long so the suite stays fast.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace taln::test {

class TestFiles {
public:
    // The process-wide instance (the folder is made on first use).
    static TestFiles& shared();

    const std::filesystem::path& folder() const { return folder_; }

    // The fixture `name` in the folder, made first by `ffmpeg -y <arguments> <path>` when
    // it is not there yet. Fails the test (throws) when ffmpeg fails.
    std::filesystem::path make(const std::string& name, const std::string& arguments);

    // A fresh empty subfolder for one test's outputs.
    std::filesystem::path freshFolder(const std::string& name);

    ~TestFiles();

private:
    TestFiles();
    std::filesystem::path folder_;
};

// Runs a shell command line, returning its exit status (-1 when it did not exit normally).
int runShell(const std::string& command);

// Quotes `text` for the shell.
std::string shellQuote(const std::string& text);

// The whole file as bytes.
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// The WAV header fields a test checks, read from the file's "fmt " chunk.
struct WavFormat {
    // 1: integer PCM, 3: IEEE float; for WAVE_FORMAT_EXTENSIBLE, the tag of its sub-format.
    int formatTag = 0;
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    std::int64_t dataBytes = -1; // size of the "data" chunk, -1 when there is none
};
WavFormat readWavFormat(const std::filesystem::path& path);

} // namespace taln::test
