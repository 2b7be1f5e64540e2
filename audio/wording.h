#pragma once

// Wording: the lines Taln's window and taln-clean show people about a file or a cleaning,
// worded in one place from what the lower layers return (an error's code, the engine's flags
// and masks), never recognised by reading text. No Qt: the model wraps these in QString.
// Any thread; no state.

#include "audio/file_error.h"

#include <span>
#include <string>

namespace taln::Wording {

// Why the file called `name` could not be read: the failures people meet most, told by the
// error's code, in plain words with the library's or the system's text after them in
// parentheses ("notes.txt isn't an audio or video file Taln can read (Invalid data found when
// processing input)"); any other failure as its what() says it.
std::string readFailure(const FileError& error, const std::string& name);

// The refusal of a video export from `name`, a file without video: "<name> has no video; write
// .m4a or .wav".
std::string noVideo(const std::string& name);

// For a doubtful automatic noise sample (NoiseSample::doubtful).
std::string doubtfulNoise();

// What the hum notches remove, from the mains frequencies HumDetector::mainsHz gives: "Hum 50 Hz
// removed", "Hum 50 and 60 Hz removed", "Hum 300 Hz removed"; empty for none.
std::string humRemoved(std::span<const int> mainsHz);

} // namespace taln::Wording
