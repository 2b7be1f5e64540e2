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

// The cascade designed from the formulas, in filtering order.
std::vector<Section> sections(double sr, float s);

// Every section over the whole signal in double precision, from rest, then narrowed.
std::vector<float> filter(std::span<const float> x, const std::vector<Section>& sections);

// filter() with the designed sections.
std::vector<float> prefilter(std::span<const float> x, double sr, float s);

// The clean with full-length buffers. Never cancelled.
std::vector<float> clean(std::span<const float> x, std::span<const float> noise, float s,
                         double sr);

} // namespace taln::literal
