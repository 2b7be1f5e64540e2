#pragma once

// Peak: one waveform bucket, the lowest (never above 0) and highest (never below 0) sample
// value in its stretch of the audio, over all channels.

namespace taln {

struct Peak {
    float lo = 0.0f;
    float hi = 0.0f;

    friend bool operator==(const Peak&, const Peak&) = default;
};

} // namespace taln
