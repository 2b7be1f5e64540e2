#pragma once

// The FFT plans of the live programs: measured ones from Taln's wisdom file when there is one
// (the window and taln-clean keep it; measuring there, once per machine, takes 0.3 to 0.6 s),
// estimated ones otherwise, so that a plugin instance or a virtual microphone never spends half
// a second measuring at every start. Call before the first RealtimeCleaner; never on the audio
// thread.

#include "engine/cleaner.h"
#include "engine/real_fft.h"

#include <filesystem>

namespace taln {

inline void prepareLivePlans() {
    const std::filesystem::path wisdom = RealFFT::wisdomFile();
    RealFFT::prepare(Cleaner::kFrameLength,
                     wisdom.empty() ? RealFFT::Planning::estimated : RealFFT::Planning::measured,
                     wisdom);
}

} // namespace taln
