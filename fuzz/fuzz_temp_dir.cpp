#include "fuzz/fuzz_temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

namespace taln {
namespace {

std::filesystem::path makeFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/taln-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        std::perror("taln fuzz: mkdtemp");
        std::abort();
    }
    return std::filesystem::path(name.data());
}

void removeFolder();

const std::filesystem::path& folder() {
    static const std::filesystem::path made = makeFolder();
    // Registered after `made` is complete, so it runs before `made` is destroyed.
    static const bool registered = std::atexit(removeFolder) == 0;
    (void)registered;
    return made;
}

void removeFolder() {
    std::error_code ec;
    std::filesystem::remove_all(folder(), ec);
}

} // namespace

const std::filesystem::path& FuzzTempDir::path() {
    return folder();
}

void FuzzTempDir::clear() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder(), ec)) {
        std::error_code ignored;
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

} // namespace taln
