#pragma once

// The exception being handled, in words for the user: the library's or the system's own text
// ("Cannot allocate memory" for std::bad_alloc). Call only inside a catch block; any thread.

#include <QString>

namespace taln {

QString describeCurrentException();

} // namespace taln
