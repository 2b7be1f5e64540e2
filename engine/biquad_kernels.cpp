#include "engine/biquad_kernels.h"

#include "engine/biquad_cascade.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>

namespace taln::BiquadKernels {

namespace {

constexpr int kStretches = BiquadCascade::kStretches;
constexpr std::int64_t kBlock = BiquadCascade::kBlock;

// A sample as it enters the first section. A recursive filter carries a NaN or an infinity into
// every later sample, which would wipe out the rest of the channel; a damaged sample (a float
// file can hold one) enters as silence instead and costs only its neighbourhood.
inline double entering(float sample) {
    return std::isfinite(sample) ? static_cast<double>(sample) : 0.0;
}

// Vectors of W doubles, and of W floats. GCC vector extensions give the same lane-wise IEEE
// operations under SSE2 and AVX2, so every build of a kernel computes identical bits, lane by
// lane.
template <int W> struct Vec;
template <> struct Vec<2> { using Type = double __attribute__((vector_size(16))); };
template <> struct Vec<4> { using Type = double __attribute__((vector_size(32))); };
template <int W> struct FloatVec;
template <> struct FloatVec<2> { using Type = float __attribute__((vector_size(8))); };
template <> struct FloatVec<4> { using Type = float __attribute__((vector_size(16))); };
using Float4 = FloatVec<4>::Type;

// ---- One stream: the wavefront across the sections ----

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

// ---- The stretches in lockstep ----

constexpr int kLaneKernels = BiquadCascade::kMaxLaneSections;

// Rows r0 … r3 become columns: r_j[i] goes to r_i[j].
__attribute__((always_inline)) inline void transpose(Float4& r0, Float4& r1, Float4& r2,
                                                     Float4& r3) {
    const Float4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
    const Float4 t1 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
    const Float4 t2 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
    const Float4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
    r0 = __builtin_shufflevector(t0, t1, 0, 1, 4, 5);
    r1 = __builtin_shufflevector(t0, t1, 2, 3, 6, 7);
    r2 = __builtin_shufflevector(t2, t3, 0, 1, 4, 5);
    r3 = __builtin_shufflevector(t2, t3, 2, 3, 6, 7);
}

// `entering` for four samples: x − x is exactly 0 for every finite x and NaN otherwise.
__attribute__((always_inline)) inline Float4 finiteOrZero(Float4 x) {
    return (x - x) == Float4{} ? x : Float4{};
}

// The stretches' inputs for a block, widened and interleaved by stretch (four steps at a time,
// transposed in registers). Widened here rather than in the kernel: GCC 12 widens four floats in
// two halves, and halves written to memory cannot be forwarded to a whole-vector load.
__attribute__((always_inline)) inline void gather(const LaneArgs& a) {
    using Double4 = Vec<4>::Type;
    static_assert(kStretches == 4);
    const float* const* s = a.source;
    std::int64_t i = 0;
    for (; i + 4 <= a.steps; i += 4) {
        Float4 r[4];
        for (int j = 0; j < 4; ++j) {
            std::memcpy(&r[j], s[j] + i, sizeof(Float4));
            r[j] = finiteOrZero(r[j]);
        }
        transpose(r[0], r[1], r[2], r[3]);
        for (int j = 0; j < 4; ++j) {
            const Double4 wide = __builtin_convertvector(r[j], Double4);
            std::memcpy(a.in + (i + j) * kStretches, &wide, sizeof(Double4));
        }
    }
    for (; i < a.steps; ++i) {
        for (int j = 0; j < 4; ++j) {
            a.in[i * kStretches + j] = entering(s[j][i]);
        }
    }
}

// The block's outputs, one stretch after another.
__attribute__((always_inline)) inline void scatter(const LaneArgs& a) {
    std::int64_t i = 0;
    for (; i + 4 <= a.steps; i += 4) {
        Float4 r[4];
        for (int j = 0; j < 4; ++j) {
            std::memcpy(&r[j], a.out + (i + j) * kStretches, sizeof(Float4));
        }
        transpose(r[0], r[1], r[2], r[3]);
        for (int j = 0; j < 4; ++j) {
            std::memcpy(a.results + j * kBlock + i, &r[j], sizeof(Float4));
        }
    }
    for (; i < a.steps; ++i) {
        for (int j = 0; j < 4; ++j) {
            a.results[j * kBlock + i] = a.out[i * kStretches + j];
        }
    }
}

// Every stretch one step further per iteration through all S sections, vector v holding
// stretches W·v … W·v + W − 1, the history in registers. A step's chain through the sections
// (about 20 cycles each) overlaps the next steps' by itself as long as S is small; that is where
// this kernel is used.
template <int W, int S> __attribute__((always_inline)) inline void laneSteps(const LaneArgs& a) {
    using V = typename Vec<W>::Type;
    using F = typename FloatVec<W>::Type;
    constexpr int kVectors = kStretches / W;
    V h[S + 1][2][kVectors];
    for (int level = 0; level <= S; ++level) {
        for (int j = 0; j < 2; ++j) {
            for (int v = 0; v < kVectors; ++v) {
                std::memcpy(&h[level][j][v], a.state + (level * 2 + j) * kStretches + v * W,
                            sizeof(V));
            }
        }
    }
    double b0[S], b1[S], a1[S], a2[S];
    for (int k = 0; k < S; ++k) {
        b0[k] = a.b0[k];
        b1[k] = a.b1[k];
        a1[k] = a.a1[k];
        a2[k] = a.a2[k];
    }
    const double* const in = a.in;
    float* const out = a.out;
    const std::int64_t steps = a.steps;
    for (std::int64_t s = 0; s < steps; ++s) {
        for (int v = 0; v < kVectors; ++v) {
            V x;
            std::memcpy(&x, in + s * kStretches + v * W, sizeof(V));
            V x1 = h[0][0][v];
            V x2 = h[0][1][v];
            h[0][1][v] = x1;
            h[0][0][v] = x;
            for (int k = 0; k < S; ++k) {
                const V y1 = h[k + 1][0][v];
                const V y2 = h[k + 1][1][v];
                const V y = ((b0[k] * x2 + (b1[k] * x1 + b0[k] * x)) - a1[k] * y1) - a2[k] * y2;
                h[k + 1][1][v] = y1;
                h[k + 1][0][v] = y;
                x = y;
                x1 = y1;
                x2 = y2;
            }
            const F narrowed = __builtin_convertvector(x, F);
            std::memcpy(out + s * kStretches + v * W, &narrowed, sizeof(F));
        }
    }
    for (int level = 0; level <= S; ++level) {
        for (int j = 0; j < 2; ++j) {
            for (int v = 0; v < kVectors; ++v) {
                std::memcpy(a.state + (level * 2 + j) * kStretches + v * W, &h[level][j][v],
                            sizeof(V));
            }
        }
    }
}

template <int S> void lanesBaseline(const LaneArgs& a) {
    gather(a);
    laneSteps<2, S>(a);
    scatter(a);
}

template <int S> __attribute__((target("avx2"))) void lanesAvx2(const LaneArgs& a) {
    gather(a);
    laneSteps<4, S>(a);
    scatter(a);
}

// One kernel per section count, 1 … kMaxLaneSections.
template <int... S>
constexpr std::array<LanesFn, sizeof...(S)> lanesTable(bool avx2,
                                                       std::integer_sequence<int, S...>) {
    return {(avx2 ? lanesAvx2<S + 1> : lanesBaseline<S + 1>)...};
}

} // namespace

// One kernel per vector count the pre-filter can need: 1 ... 18 sections make 1 ... 9 vectors of
// two lanes, or 2 ... 5 of four. Sections that fit one AVX2 vector run two lanes wide: measured
// over ten minutes, two to four sections took 3.6 to 4.3 ns a sample two wide and 4.8 four wide
// (which shifts lanes across the vector's halves on every step).
WavefrontFn wavefrontKernel(int vectors, bool avx2) {
    static constexpr WavefrontFn baseline[] = {
        wavefrontBaseline<1>, wavefrontBaseline<2>, wavefrontBaseline<3>,
        wavefrontBaseline<4>, wavefrontBaseline<5>, wavefrontBaseline<6>,
        wavefrontBaseline<7>, wavefrontBaseline<8>, wavefrontBaseline<9>};
    static constexpr WavefrontFn withAvx2[] = {wavefrontAvx2<2>, wavefrontAvx2<3>, wavefrontAvx2<4>,
                                               wavefrontAvx2<5>};
    static_assert(std::size(baseline) * 2 >= BiquadCascade::kMaxSections);
    static_assert((std::size(withAvx2) + 1) * 4 == BiquadCascade::kLanes);
    return avx2 ? withAvx2[vectors - 2] : baseline[vectors - 1];
}

LanesFn lanesKernel(int sections, bool avx2) {
    static constexpr auto baseline =
        lanesTable(false, std::make_integer_sequence<int, kLaneKernels>());
    static constexpr auto withAvx2 =
        lanesTable(true, std::make_integer_sequence<int, kLaneKernels>());
    return avx2 ? withAvx2[sections - 1] : baseline[sections - 1];
}

} // namespace taln::BiquadKernels
