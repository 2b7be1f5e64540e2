#pragma once

// The exception being handled, in words for the user: the library's or the system's own text
// ("Cannot allocate memory" for std::bad_alloc). Call only inside a catch block; any thread.

#include <QString>

namespace taln {

QString describeCurrentException();

// Why the file called `name` could not be read, for the user: a FileError as Wording words it
// from its code (the failures people meet most in plain words, the library's text after them
// in parentheses: "notes.txt isn't an audio or video file Taln can read (Invalid data found
// when processing input)"); any other failure as describeCurrentException() gives it. Call
// only inside a catch block; any thread.
QString describeLoadFailure(const QString& name);

} // namespace taln
