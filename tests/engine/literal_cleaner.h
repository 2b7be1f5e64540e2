#pragma once

// The cleaner written the plain way: the whole channel pre-filtered one section at a time,
// the extended signal and the output accumulator at full length. Slow and memory-hungry, and
// the oracle that the streaming engine must match sample for sample.

#include <cstdint>
#include <span>
#include <vector>

namespace taln::literal {

struct Section {
    double b0, b1, b2, a1, a2;
};

// All sixteen hum notches: bit i for the i-th candidate in design order (50 ... 400 Hz, then
// 60 ... 480 Hz).
constexpr std::uint16_t kAllNotches = 0xFFFF;

// The cascade designed from the formulas, in filtering order, with the notches in `notches`.
std::vector<Section> sections(double sr, float s, std::uint16_t notches = kAllNotches);

// Every section over the whole signal in double precision, from rest, then narrowed.
std::vector<float> filter(std::span<const float> x, const std::vector<Section>& sections);

// filter() with the designed sections.
std::vector<float> prefilter(std::span<const float> x, double sr, float s,
                             std::uint16_t notches = kAllNotches);

// The clean with full-length buffers. Never cancelled.
std::vector<float> clean(std::span<const float> x, std::span<const float> noise, float s,
                         double sr, std::uint16_t notches = kAllNotches);

} // namespace taln::literal
