#pragma once

// BiquadCascade: runs the pre-filter's second-order sections over one channel as a stream, in
// double precision, handing out the filtered samples block by block. Internal to the engine.
//
// Every section starts from rest and computes, in direct form I and in exactly this order,
//     y[n] = ((b2·x[n−2] + (b1·x[n−1] + b0·x[n])) − a1·y[n−1]) − a2·y[n−2],
// so any block size and any kernel give the same bits as one whole pass per section over the
// same samples. The samples are widened to double on the way in and narrowed to float (nearest)
// on the way out. Past the end of the input, the input counts as zeros; so does a sample that is
// not finite, which would otherwise turn every later output into NaN.
//
// Stretches: a recursion cannot start a sample before the one before it is done, so a stream of
// few sections runs at the latency of its feedback, whatever the width of the vectors. A channel
// long enough is therefore cut into kStretches stretches that run at once, one per SIMD lane:
// stretch k covers [bounds[k], bounds[k + 1]) and is filtered from rest starting at starts[k], at
// least the given warm-up earlier (stretch 0 starts at 0, so it is exactly the whole run there).
// Each stretch is bit for bit one whole pass from starts[k]; once the sections have forgotten
// their rest, that is the whole channel's pass to within its rounding (the cleaner's warm-up,
// CleaningPieces::warmUp, leaves far less than single precision can show). Where the stretches
// lie depends only on the channel's length, the warm-up and the number of sections, never on the
// processor or on how the stream is pulled.
//
// Kernels: one stream runs as a wavefront across the sections (section k on sample n while
// section k+1 works on sample n−2), one SIMD lane per section, two lanes a vector for up to four
// sections (four wide, one vector's lane shift across its halves costs more than it saves).
// Stretches run in lockstep, one lane per stretch: four lanes, one AVX2 vector of doubles (two
// SSE2 vectors without AVX2), with every section's history in registers, built for each section
// count up to kMaxLaneSections. Both use the arithmetic above per lane (no fused multiply-add),
// and every section must have b2 = b0 (the high-pass and notch designs do), so b0 stands in for
// b2. `best` is the AVX2 build where the processor has AVX2, the baseline (SSE2) build
// otherwise; the two give the same bits. The kernels themselves are in biquad_kernels.cpp.
//
// Working ahead: the stretches finish together, when the first of them reaches the second's
// bound, so the later stretches' samples exist long before they are pulled. The caller lends
// them a place: `store`, the channel's positions [storeFrom, storeFrom + store.size()),
// typically the caller's own output over those positions. The cascade writes there only
// positions not yet pulled; once a position has been pulled, it is the caller's again. Without
// room for every later stretch (store starting after the second stretch, or ending more than
// kTail samples before the last position pulled), the stretches run one after another as
// streams, each from its own start: the same bits, at one stream's speed.
//
// Thread: one thread at a time. Allocation: none.

#include "engine/cleaner.h"

#include <array>
#include <cstdint>
#include <limits>
#include <span>

namespace taln {

class BiquadCascade {
public:
    enum class Kernel { baseline, avx2, best };

    // The pre-filter's most: two high-pass sections and sixteen notches.
    static constexpr int kMaxSections = 18;
    // Wavefront lanes held: kMaxSections rounded up to whole AVX2 vectors of 4.
    static constexpr int kLanes = 20;
    static constexpr int kRingRows = 5;
    // Stretches of a long channel filtered at once: one AVX2 vector of four doubles.
    static constexpr int kStretches = 4;
    // Cascades of up to this many sections are cut into stretches. Nanoseconds a sample for the
    // pre-filter of a 10-minute channel at 44.1 kHz, one stream / four stretches:
    //
    //     sections     2          4          6          7          8
    //     AVX2      3.7 / 1.9  4.2 / 2.5  4.9 / 3.5  5.0 / 4.0  4.8 / 4.7
    //     SSE2      3.6 / 2.4  4.3 / 4.1  5.3 / 6.7  6.8 / 8.0  6.8 / 9.4
    //
    // One stream runs at the latency of its feedback up to about eight sections and fills the
    // wavefront's lanes beyond, while the stretches' work grows with every section. On an
    // 80-second piece (three warm-ups in 80 s instead of 600) the stretches lose about a tenth
    // more. Six keeps the AVX2 build well ahead; the SSE2 build loses up to a quarter at five and
    // six sections.
    static constexpr int kMaxLaneSections = 6;
    // Lockstep steps per block: inputs, outputs and per-stretch results of a block stay in the
    // first-level cache.
    static constexpr std::int64_t kBlock = 128;
    // Positions past the store that the stretches may compute ahead: one frame, as much as the
    // cleaner reads past the part it cleans.
    static constexpr std::int64_t kTail = Cleaner::kFrameLength;

    // Where the stretches of a channel lie. `count` is 1 (the whole channel, bounds[1] its
    // length) or kStretches; `steps` is how many samples each lockstep lane runs.
    struct Stretches {
        int count = 1;
        std::int64_t steps = 0;
        std::array<std::int64_t, kStretches + 1> bounds{};
        std::array<std::int64_t, kStretches> starts{};
    };

    // The stretches of a channel of `n` samples through `sections` sections with a warm-up of
    // `warmUp` samples: kStretches of them when the cascade has at most kMaxLaneSections
    // sections and the stretches at least halve the steps one stream would take (n at least
    // three warm-ups), one otherwise. The lanes all run the same number of steps: the first
    // stretch is that long, each later one a warm-up shorter, and the last, which takes what
    // remains, starts where its run ends with the channel (a longer warm-up than the others).
    static Stretches stretches(std::int64_t n, std::int64_t warmUp, int sections);

    // The whole of `input` as one stream, pulled as far as the caller likes (past the end of the
    // input, zeros go in). `sections` in filtering order, at most kMaxSections, each with b2
    // equal to b0 bit for bit; `input` must outlive the cascade. Kernel::avx2 on a processor
    // without AVX2 falls back to the baseline build.
    BiquadCascade(std::span<const Cleaner::Biquad> sections, std::span<const float> input,
                  Kernel kernel = Kernel::best);

    // `input` cut into stretches(input.size(), warmUp, sections.size()), pulled no further than
    // `length` (at most the input's size); `store` as above, and it must outlive the cascade.
    BiquadCascade(std::span<const Cleaner::Biquad> sections, std::span<const float> input,
                  std::int64_t warmUp, std::int64_t length, std::span<float> store,
                  std::int64_t storeFrom, Kernel kernel = Kernel::best);

    // Writes the next `count` filtered samples of the stream to `out`. `out` may be the store at
    // the same positions.
    void pull(float* out, std::int64_t count);

    static bool avx2Available() noexcept;

private:
    void loadSections(std::span<const Cleaner::Biquad> sections);
    void restartStream(std::int64_t start);
    void pullStream(float* out, std::int64_t count);
    void pullStretchesInTurn(float* out, std::int64_t count);
    void pullLockstep(float* out, std::int64_t count);
    void runLanes(float* out, std::int64_t steps);
    void keep(const float* from, std::int64_t position, std::int64_t count);
    void runWavefront(float* out, std::int64_t steps);
    int laneOf(int section) const noexcept;

    std::span<const float> input_;
    bool avx2_ = false;
    int sections_ = 0;
    Stretches plan_;
    bool lockstep_ = false;
    std::int64_t length_ = std::numeric_limits<std::int64_t>::max();
    std::span<float> store_;
    std::int64_t storeFrom_ = 0;
    std::int64_t position_ = 0; // next channel position to hand out

    // The stream of one stretch (the wavefront): its input from the stretch's start, the next
    // input sample to enter the first section, and whether the first 2·(sections − 1) steps are
    // done.
    int stretch_ = 0;
    std::span<const float> stream_;
    std::int64_t streamStep_ = 0;
    bool primed_ = false;
    int width_ = 4;   // wavefront lanes per vector (4 with AVX2 and five sections or more, else 2)
    int vectors_ = 1; // wavefront vectors holding the sections

    // Section k at index laneOf(k); lanes past the last section hold zeros and their results are
    // never read.
    alignas(32) std::array<double, kLanes> b0_{};
    alignas(32) std::array<double, kLanes> b1_{};
    alignas(32) std::array<double, kLanes> a1_{};
    alignas(32) std::array<double, kLanes> a2_{};

    // The outputs of every wavefront lane in the last kRingRows steps (row = step mod 5), and
    // the inputs of the first vector's lanes.
    alignas(32) std::array<double, kRingRows * kLanes> ring_{};
    alignas(32) std::array<double, kRingRows * 4> inputRing_{};

    // The lockstep stretches: the coefficients in filtering order, the steps handed out and the
    // kernel's iterations (its output may lag), every stretch's recent samples at every level
    // (the input and each section's output; the kernels' layouts in their comments), a block's
    // inputs and outputs interleaved by stretch, each stretch's outputs of the block, and the
    // positions computed past the store.
    std::array<double, kMaxSections> sb0_{};
    std::array<double, kMaxSections> sb1_{};
    std::array<double, kMaxSections> sa1_{};
    std::array<double, kMaxSections> sa2_{};
    std::int64_t step_ = 0;
    alignas(32) std::array<double, (kMaxLaneSections + 1) * 2 * kStretches> laneState_{};
    alignas(32) std::array<double, kBlock * kStretches> blockIn_{};
    alignas(32) std::array<float, kBlock * kStretches> blockOut_{};
    alignas(32) std::array<float, kBlock * kStretches> results_{};
    std::array<float, kTail> tail_{};
};

} // namespace taln
