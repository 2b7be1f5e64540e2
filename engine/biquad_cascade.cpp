#include "engine/biquad_cascade.h"

#include "engine/precondition.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace taln {

namespace {

// A sample as it enters the first section. A recursive filter carries a NaN or an infinity into
// every later sample, which would wipe out the rest of the channel; a damaged sample (a float
// file can hold one) enters as silence instead and costs only its neighbourhood.
inline double entering(float sample) {
    return std::isfinite(sample) ? static_cast<double>(sample) : 0.0;
}

// Vectors of W doubles. GCC vector extensions give the same lane-wise IEEE operations under
// SSE2 and AVX2, so every build of the kernel computes identical bits, lane by lane.
template <int W> struct Vec;
template <> struct Vec<2> { using Type = double __attribute__((vector_size(16))); };
template <> struct Vec<4> { using Type = double __attribute__((vector_size(32))); };

struct WavefrontArgs {
    const double* b0; // also b2: every section has b2 = b0
    const double* b1;
    const double* a1;
    const double* a2;
    double* ring;             // outputs of the last 5 steps: row (step mod 5), one lane per section
    double* inputRing;        // inputs of vector 0 in the last 5 steps: row (step mod 5)
    std::uint32_t phase;      // step counter mod 5 at the first step
    const float* in;          // input of the first step
    std::int64_t inAvailable; // steps that take an input sample; later steps take zeros
    float* out;               // one output per step: the last section's newest sample
    std::int64_t steps;
    int outIndex; // lane index of the last section
};

// Vector loads and stores through memcpy (no aliasing questions; compiled to plain moves).
// Macros, not functions: passing a vector by value would depend on the target's ABI.
#define TALN_LOAD(dst, src) std::memcpy(&(dst), (src), sizeof(V))
#define TALN_STORE(dst, src) std::memcpy((dst), &(src), sizeof(V))

// Lane layout: section k sits in vector k mod NV, lane k / NV, so section k's input, the output
// of section k − 1, is the same lane of the previous vector; only vector 0 needs a lane shift
// (with the new sample entering lane 0).
//
// Skew: section k works on sample j − 2k at step j. Its input, section k − 1's output for that
// sample, was made two steps earlier: within a step no lane depends on another lane's result of
// the same or the previous step, which leaves only each section's own feedback (y[n−1]) on the
// critical path. That feedback stays in registers; everything older (y[n−2] and the input
// history, which for vectors 1 … NV−1 is the previous vector's output history) is read back
// from a ring of the last five steps' outputs, which keeps register pressure low.
//
// Every section has b2 = b0 (true of the high-pass and the notch sections alike), so b0's vector
// stands in for b2's: the same values, one load fewer per vector and step.
template <int W, int NV>
__attribute__((always_inline)) inline void wavefrontSteps(const WavefrontArgs& a) {
    using V = typename Vec<W>::Type;
    constexpr int kRow = BiquadCascade::kLanes;
    constexpr std::uint32_t kRows = BiquadCascade::kRingRows;
    // r[k]: the ring row of step j − k (r[0] is written by step j); rotated after each step.
    double* r[kRows];
    double* in[kRows];
    for (std::uint32_t k = 0; k < kRows; ++k) {
        const std::uint32_t slot = (a.phase + kRows - k) % kRows;
        r[k] = a.ring + slot * kRow;
        in[k] = a.inputRing + slot * W;
    }
    V b0[NV], b1[NV], a1[NV], a2[NV], y1[NV];
    for (int v = 0; v < NV; ++v) {
        TALN_LOAD(b0[v], a.b0 + W * v);
        TALN_LOAD(b1[v], a.b1 + W * v);
        TALN_LOAD(a1[v], a.a1 + W * v);
        TALN_LOAD(a2[v], a.a2 + W * v);
        TALN_LOAD(y1[v], r[1] + W * v);
    }
    // memcpy stores may alias anything, so every field used in the loop is read once, here.
    const float* const samples = a.in;
    float* const out = a.out;
    const int outIndex = a.outIndex;
    const std::int64_t steps = a.steps;
    const auto step = [&](double sample) __attribute__((always_inline)) {
        V fresh;
        for (int l = 0; l < W; ++l) {
            fresh[l] = sample;
        }
        V last;
        TALN_LOAD(last, r[2] + W * (NV - 1));
        // Lane 0 takes the new sample, lane l > 0 the lane l − 1 of the last vector.
        V shifted;
        if constexpr (W == 2) {
            shifted = __builtin_shufflevector(fresh, last, 0, 2);
        } else {
            shifted = __builtin_shufflevector(fresh, last, 0, 4, 5, 6);
        }
        TALN_STORE(in[0], shifted);
        for (int v = 0; v < NV; ++v) {
            V x, x1, x2, y2;
            if (v == 0) {
                x = shifted;
                TALN_LOAD(x1, in[1]);
                TALN_LOAD(x2, in[2]);
            } else {
                TALN_LOAD(x, r[2] + W * (v - 1));
                TALN_LOAD(x1, r[3] + W * (v - 1));
                TALN_LOAD(x2, r[4] + W * (v - 1));
            }
            TALN_LOAD(y2, r[2] + W * v);
            const V y = ((b0[v] * x2 + (b1[v] * x1 + b0[v] * x)) - a1[v] * y1[v]) - a2[v] * y2;
            TALN_STORE(r[0] + W * v, y);
            y1[v] = y;
        }
        double* const oldest = r[kRows - 1];
        double* const oldestIn = in[kRows - 1];
        for (std::uint32_t k = kRows - 1; k > 0; --k) {
            r[k] = r[k - 1];
            in[k] = in[k - 1];
        }
        r[0] = oldest;
        in[0] = oldestIn;
    };
    // The last section's newest output, read back from the ring row just written.
    const auto output = [&]() { return static_cast<float>(r[1][outIndex]); };
    const std::int64_t fed = std::min(a.inAvailable, steps);
    for (std::int64_t s = 0; s < fed; ++s) {
        step(entering(samples[s]));
        out[s] = output();
    }
    for (std::int64_t s = std::max<std::int64_t>(fed, 0); s < steps; ++s) {
        step(0.0);
        out[s] = output();
    }
}

#undef TALN_LOAD
#undef TALN_STORE

template <int NV> void wavefrontBaseline(const WavefrontArgs& a) {
    wavefrontSteps<2, NV>(a);
}

template <int NV> __attribute__((target("avx2"))) void wavefrontAvx2(const WavefrontArgs& a) {
    wavefrontSteps<4, NV>(a);
}

using WavefrontFn = void (*)(const WavefrontArgs&);

// One kernel per vector count the pre-filter can need: 2 ... 18 sections make 1 ... 9 vectors of
// two lanes, or 1 ... 5 of four.
WavefrontFn wavefrontKernel(int vectors, bool avx2) {
    static constexpr WavefrontFn baseline[] = {
        wavefrontBaseline<1>, wavefrontBaseline<2>, wavefrontBaseline<3>,
        wavefrontBaseline<4>, wavefrontBaseline<5>, wavefrontBaseline<6>,
        wavefrontBaseline<7>, wavefrontBaseline<8>, wavefrontBaseline<9>};
    static constexpr WavefrontFn withAvx2[] = {wavefrontAvx2<1>, wavefrontAvx2<2>, wavefrontAvx2<3>,
                                               wavefrontAvx2<4>, wavefrontAvx2<5>};
    static_assert(std::size(baseline) * 2 >= BiquadCascade::kMaxSections);
    static_assert(std::size(withAvx2) * 4 == BiquadCascade::kLanes);
    return avx2 ? withAvx2[vectors - 1] : baseline[vectors - 1];
}

} // namespace

bool BiquadCascade::avx2Available() noexcept {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

BiquadCascade::BiquadCascade(std::span<const Cleaner::Biquad> sections,
                             std::span<const float> input, Kernel kernel)
    : input_(input), kernel_(kernel), sections_(static_cast<int>(sections.size())) {
    requirePrecondition(sections.size() <= static_cast<std::size_t>(kMaxSections),
                        "BiquadCascade holds at most 18 sections");
    if (kernel_ == Kernel::best || (kernel_ == Kernel::wavefrontAvx2 && !avx2Available())) {
        kernel_ = avx2Available() ? Kernel::wavefrontAvx2 : Kernel::wavefront;
    }
    width_ = kernel_ == Kernel::wavefrontAvx2 ? 4 : 2;
    vectors_ = std::max((sections_ + width_ - 1) / width_, 1);
    for (int k = 0; k < sections_; ++k) {
        // Compared bit for bit: only then is b0 an exact stand-in for b2.
        requirePrecondition(std::memcmp(&sections[k].b0, &sections[k].b2, sizeof(double)) == 0,
                            "BiquadCascade needs sections with b2 equal to b0");
        const int i = laneOf(k);
        b0_[i] = sections[k].b0;
        b1_[i] = sections[k].b1;
        a1_[i] = sections[k].a1;
        a2_[i] = sections[k].a2;
    }
}

int BiquadCascade::laneOf(int section) const noexcept {
    return (section % vectors_) * width_ + section / vectors_;
}

void BiquadCascade::pull(float* out, std::int64_t count) {
    if (count <= 0) {
        return;
    }
    if (sections_ == 0) {
        // No section: the input itself, widened and narrowed back (exact).
        for (std::int64_t i = 0; i < count; ++i, ++step_) {
            out[i] = step_ < static_cast<std::int64_t>(input_.size()) ? input_[step_] : 0.0f;
        }
        return;
    }
    if (!primed_) {
        // The first 2·(sections − 1) steps fill the pipeline: section k sees its first sample
        // at step 2k. Sections that have not started are put back to rest after each of these
        // steps, so each one starts from exact zeros, as in a pass of its own.
        std::array<float, 1> discard{};
        for (int j = 0; j < 2 * (sections_ - 1); ++j) {
            runWavefront(discard.data(), 1);
            for (int k = j / 2 + 1; k < sections_; ++k) {
                const int i = laneOf(k);
                for (int row = 0; row < kRingRows; ++row) {
                    ring_[row * kLanes + i] = 0.0;
                    if (k % vectors_ == 0) {
                        inputRing_[row * width_ + k / vectors_] = 0.0;
                    }
                }
            }
        }
        primed_ = true;
    }
    runWavefront(out, count);
}

void BiquadCascade::runWavefront(float* out, std::int64_t steps) {
    const auto size = static_cast<std::int64_t>(input_.size());
    WavefrontArgs args{};
    args.b0 = b0_.data();
    args.b1 = b1_.data();
    args.a1 = a1_.data();
    args.a2 = a2_.data();
    args.ring = ring_.data();
    args.inputRing = inputRing_.data();
    args.phase = static_cast<std::uint32_t>(step_ % kRingRows);
    args.in = step_ < size ? input_.data() + step_ : nullptr;
    args.inAvailable = std::max<std::int64_t>(size - step_, 0);
    args.out = out;
    args.steps = steps;
    args.outIndex = laneOf(sections_ - 1);
    wavefrontKernel(vectors_, kernel_ == Kernel::wavefrontAvx2)(args);
    step_ += steps;
}

} // namespace taln
