#pragma once

// PcmSamples: Taln's float samples as the integers and floats files store, interleaved.
//
// An integer sample is the float scaled by 2^(bits - 1) (32,768 for 16 bits, 8,388,608 for 24,
// 2,147,483,648 for 32), so that a decoded integer sample (v / 2^(bits - 1)) comes back as
// exactly v; rounded to nearest, ties to even; saturated at both ends, so that a loud peak
// clips instead of wrapping into a click of the opposite sign; NaN, which has no level, is 0.
// A float sample is the sample itself, with NaN and infinities written as 0: either would
// poison every later sample of whatever reads or encodes the file.
// Integers are written little-endian (the byte order of WAV, and of every machine Taln builds
// for: x86-64, arm64).
//
// This file's source is compiled with -fno-trapping-math, which GCC needs to vectorise the
// comparisons of the 16-bit conversion (the common case: most recordings are 16-bit).
// Any thread; no state, no allocation.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

namespace taln::PcmSamples {

// The largest sample magnitude Taln keeps from a file or hands to a lossy encoder: 16 (+24
// dBFS), far above any real recording, even a float one over full scale. One corrupt float
// sample in the millions, kept, became most of a second of full-scale noise in the cleaned
// audio, and the AAC and Opus encoders hang or fail on such samples.
inline constexpr float kSampleLimit = 16.0f;

enum class Encoding { int16, int24, int32, float32 };

// Bytes per sample in a file: 2, 3, 4 or 4.
int bytesPerSample(Encoding encoding);

// Frames [0, n) of the channels (channels[c] points at channel c's first frame), interleaved
// into `out`: n × channels.size() samples of `bytesPerSample(encoding)` bytes each.
void interleave(Encoding encoding, std::span<const float* const> channels, std::int64_t n,
                std::uint8_t* out);

// The same as 32-bit integers holding a 24-bit sample in their upper bits (v × 256), the form
// FFmpeg's FLAC encoder takes 24-bit audio in.
void interleaveInt24In32(std::span<const float* const> channels, std::int64_t n, std::int32_t* out);

// A float sample made finite (NaN and infinities as 0) and clipped at ±limit.
inline float finiteWithin(float sample, float limit = kSampleLimit) {
    return std::isfinite(sample) ? std::clamp(sample, -limit, limit) : 0.0f;
}

} // namespace taln::PcmSamples
