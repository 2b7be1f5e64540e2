#include "tests/audio/test_files.h"

extern "C" {
#include <libavutil/log.h>
}

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace taln::test {

TestFiles& TestFiles::shared() {
    static TestFiles files;
    return files;
}

TestFiles::TestFiles() {
    std::string pattern = (std::filesystem::temp_directory_path() / "taln-audio-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    folder_ = pattern;
    // The tests check every error through the exception it raises; FFmpeg's own log of
    // the damaged fixtures would only bury the test output.
    av_log_set_level(AV_LOG_QUIET);
}

TestFiles::~TestFiles() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

std::filesystem::path TestFiles::make(const std::string& name, const std::string& arguments) {
    const auto path = folder_ / name;
    if (std::filesystem::exists(path)) {
        return path;
    }
    const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments +
                                " " + shellQuote(path.string());
    if (runShell(command) != 0) {
        throw std::runtime_error("ffmpeg could not make the fixture " + name + ": " + command);
    }
    return path;
}

std::filesystem::path TestFiles::freshFolder(const std::string& name) {
    const auto path = folder_ / name;
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

int runShell(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char ch : text) {
        if (ch == '\'') {
            quoted += "'\\''";
        } else {
            quoted += ch;
        }
    }
    return quoted + "'";
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

namespace {

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}

int le16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<int>(b[at] | b[at + 1] << 8);
}

} // namespace

WavFormat readWavFormat(const std::filesystem::path& path) {
    const auto bytes = readBytes(path);
    WavFormat format;
    if (bytes.size() < 12 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF" ||
        std::string(bytes.begin() + 8, bytes.begin() + 12) != "WAVE") {
        return format;
    }
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + 4));
        const std::uint32_t size = le32(bytes, at + 4);
        if (id == "fmt " && at + 24 <= bytes.size()) {
            format.formatTag = le16(bytes, at + 8);
            format.channels = le16(bytes, at + 10);
            format.sampleRate = static_cast<int>(le32(bytes, at + 12));
            format.bitsPerSample = le16(bytes, at + 22);
            // WAVE_FORMAT_EXTENSIBLE: the sub-format GUID begins with the plain tag.
            if (format.formatTag == 0xFFFE && size >= 40 && at + 34 <= bytes.size()) {
                format.formatTag = le16(bytes, at + 32);
            }
        } else if (id == "data") {
            format.dataBytes = size;
        }
        at += 8 + size + (size & 1);
    }
    return format;
}

} // namespace taln::test
