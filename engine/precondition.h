#pragma once

// requirePrecondition: the engine's check of what its callers must guarantee. A broken
// precondition stops the program with a message on stderr, in every build: going on would read
// past an array or fill a cleaned channel with not-a-numbers. Internal to the engine.

#include <cstdio>
#include <cstdlib>

namespace taln {

inline void requirePrecondition(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "taln engine: %s\n", what);
        std::abort();
    }
}

} // namespace taln
