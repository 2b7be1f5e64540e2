#pragma once

// BiquadCascade: runs the pre-filter's second-order sections over one channel as a stream, in
// double precision, handing out the filtered samples block by block. Internal to the engine.
//
// Every section starts from rest and computes, in direct form I and in exactly this order,
//     y[n] = ((b2·x[n−2] + (b1·x[n−1] + b0·x[n])) − a1·y[n−1]) − a2·y[n−2],
// so any block size and any kernel give the same bits as one whole pass per section over the
// whole channel. The samples are widened to double on the way in and narrowed to float (nearest)
// on the way out. Past the end of the input, the input counts as zeros; so does a sample that is
// not finite, which would otherwise turn every later output into NaN.
//
// Kernels: `sectionwise` runs each section over a block of up to 4096 samples in turn; the
// wavefront kernels run section k on sample n while section k+1 works on sample n−2, so that no
// section waits on another within a step and the steps run across sections in SIMD lanes, with
// the same arithmetic per section (no fused multiply-add). The output then leaves the pipeline
// 2·(sections − 1) steps after its input went in; `pull` hides that. `best` is the AVX2 wavefront
// where the processor has AVX2, the baseline (SSE2) wavefront otherwise.
//
// Thread: one thread at a time. Allocation: construction only (one 4096-double block).

#include "engine/cleaner.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace taln {

class BiquadCascade {
public:
    enum class Kernel { sectionwise, wavefront, wavefrontAvx2, best };

    static constexpr int kMaxSections = 20;
    static constexpr int kRingRows = 5;

    // `sections` in filtering order, at most kMaxSections; `input` must outlive the cascade.
    // Kernel::wavefrontAvx2 on a processor without AVX2 falls back to the baseline wavefront.
    BiquadCascade(std::span<const Cleaner::Biquad> sections, std::span<const float> input,
                  Kernel kernel = Kernel::best);

    // Writes the next `count` filtered samples of the stream to `out`.
    void pull(float* out, std::int64_t count);

    static bool avx2Available() noexcept;

private:
    void pullSectionwise(float* out, std::int64_t count);
    void pullWavefront(float* out, std::int64_t count);
    void runWavefront(float* out, std::int64_t steps);
    int laneOf(int section) const noexcept;

    std::span<const float> input_;
    Kernel kernel_;
    int sections_;
    int width_ = 4;         // wavefront: lanes per vector (4 with AVX2, 2 with SSE2)
    int vectors_ = 1;       // wavefront: vectors holding the sections
    std::int64_t step_ = 0; // next input sample to enter the first section
    bool primed_ = false;   // wavefront: the first 2·(sections − 1) steps are done
    bool symmetric_ = true; // every section has b2 = b0

    // Sectionwise: index k holds section k. Wavefront: index laneOf(k); lanes past the last
    // section hold zeros and their results are never read.
    alignas(32) std::array<double, kMaxSections> b0_{};
    alignas(32) std::array<double, kMaxSections> b1_{};
    alignas(32) std::array<double, kMaxSections> b2_{};
    alignas(32) std::array<double, kMaxSections> a1_{};
    alignas(32) std::array<double, kMaxSections> a2_{};
    // Sectionwise: the state of each section.
    alignas(32) std::array<double, kMaxSections> x1_{};
    alignas(32) std::array<double, kMaxSections> x2_{};
    alignas(32) std::array<double, kMaxSections> y1_{};
    alignas(32) std::array<double, kMaxSections> y2_{};

    // Wavefront: the outputs of every lane in the last kRingRows steps (row = step mod 5), and the
    // inputs of the first vector's lanes.
    alignas(32) std::array<double, kRingRows * kMaxSections> ring_{};
    alignas(32) std::array<double, kRingRows * 4> inputRing_{};

    std::vector<double> block_; // sectionwise: one block in double precision
};

} // namespace taln
