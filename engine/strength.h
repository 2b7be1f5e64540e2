#pragma once

// Strength: the one strength rule the window, taln-clean and the live cleaner share. People
// choose a strength in percent (the window's slider, --strength); the engine takes it as a
// single-precision share, 0 ... 1.

#include "engine/cleaner.h"

namespace taln::Strength {

// Where the slider and taln-clean start: deep enough to be heard at once on hiss, gentle
// enough to keep a voice whole.
inline constexpr double kDefaultPercent = 60.0;

// The engine's strength for `percent` (0 ... 100): percent / 100, narrowed to single precision.
inline float fromPercent(double percent) {
    return static_cast<float>(percent / 100.0);
}

// Whether the reference engine's hum notches are part of the pre-filter at engine strength `s`:
// only above Cleaner::kNotchStrength, where the user asked for more than a gentle high-pass.
inline bool notchesOn(float s) {
    return s > Cleaner::kNotchStrength;
}

} // namespace taln::Strength
