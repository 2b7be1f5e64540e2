#include "model/process_start.h"

#include "audio/chunked_audio.h"
#include "engine/cleaner.h"
#include "engine/real_fft.h"
#include "model/background_work.h"

#include <malloc.h>

namespace taln::ProcessStart {

namespace {

constexpr int kOwnMappingBytes = static_cast<int>(kChunkFrames * sizeof(float));

} // namespace

void prepare() {
    // Where refused, the memory is only held longer.
    (void)mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes);
    BackgroundWork::start([] {
        RealFFT::prepare(Cleaner::kFrameLength, RealFFT::Planning::measured, RealFFT::wisdomFile());
    });
}

} // namespace taln::ProcessStart
