#include "audio/taln_error.h"

namespace taln {

const char* TalnError::errorDescription() const noexcept {
    switch (case_) {
    case noAudio:
        return "That file doesn't contain an audio track.";
    case notMedia:
        break;
    }
    return "That file isn't an audio or video file Taln can read.";
}

} // namespace taln
