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
// Kernel: section k runs on sample n while section k+1 works on sample n−2 (a wavefront), so that
// no section waits on another within a step and the steps run across sections in SIMD lanes, with
// the same arithmetic per section (no fused multiply-add). The output then leaves the pipeline
// 2·(sections − 1) steps after its input went in; `pull` hides that. Every section must have
// b2 = b0 (the high-pass and notch designs do), so b0 stands in for b2. `best` is the AVX2
// wavefront where the processor has AVX2, the baseline (SSE2) wavefront otherwise; the two give
// the same bits.
//
// Thread: one thread at a time. Allocation: none.

#include "engine/cleaner.h"

#include <array>
#include <cstdint>
#include <span>

namespace taln {

class BiquadCascade {
public:
    enum class Kernel { wavefront, wavefrontAvx2, best };

    // The pre-filter's most: two high-pass sections and sixteen notches.
    static constexpr int kMaxSections = 18;
    // Lanes held: kMaxSections rounded up to whole AVX2 vectors of 4.
    static constexpr int kLanes = 20;
    static constexpr int kRingRows = 5;

    // `sections` in filtering order, at most kMaxSections, each with b2 equal to b0 bit for bit;
    // `input` must outlive the cascade. Kernel::wavefrontAvx2 on a processor without AVX2 falls
    // back to the baseline wavefront.
    BiquadCascade(std::span<const Cleaner::Biquad> sections, std::span<const float> input,
                  Kernel kernel = Kernel::best);

    // Writes the next `count` filtered samples of the stream to `out`.
    void pull(float* out, std::int64_t count);

    static bool avx2Available() noexcept;

private:
    void runWavefront(float* out, std::int64_t steps);
    int laneOf(int section) const noexcept;

    std::span<const float> input_;
    Kernel kernel_;
    int sections_;
    int width_ = 4;         // lanes per vector (4 with AVX2, 2 with SSE2)
    int vectors_ = 1;       // vectors holding the sections
    std::int64_t step_ = 0; // next input sample to enter the first section
    bool primed_ = false;   // the first 2·(sections − 1) steps are done

    // Section k at index laneOf(k); lanes past the last section hold zeros and their results are
    // never read.
    alignas(32) std::array<double, kLanes> b0_{};
    alignas(32) std::array<double, kLanes> b1_{};
    alignas(32) std::array<double, kLanes> a1_{};
    alignas(32) std::array<double, kLanes> a2_{};

    // The outputs of every lane in the last kRingRows steps (row = step mod 5), and the inputs of
    // the first vector's lanes.
    alignas(32) std::array<double, kRingRows * kLanes> ring_{};
    alignas(32) std::array<double, kRingRows * 4> inputRing_{};
};

} // namespace taln
