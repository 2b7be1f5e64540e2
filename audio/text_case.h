#pragma once

// lowercase: ASCII letters of a file extension or a metadata key in lower case, as Taln
// compares them (".MP4" names MP4 as ".mp4" does); every other byte, UTF-8 included, unchanged
// and whatever the locale. Any thread.

#include <string>

namespace taln {

inline std::string lowercase(std::string text) {
    for (char& ch : text) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    return text;
}

} // namespace taln
