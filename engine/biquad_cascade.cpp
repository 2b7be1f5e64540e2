#include "engine/biquad_cascade.h"

#include "engine/precondition.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <utility>

namespace taln {

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

// ---- The stretches in lockstep ----

constexpr int kLaneKernels = BiquadCascade::kMaxLaneSections;

struct LaneArgs {
    // Per section, in filtering order; b0 also stands for b2.
    const double* b0;
    const double* b1;
    const double* a1;
    const double* a2;
    // [level][newest, older][stretch]: level 0 the input, level k + 1 section k's output.
    double* state;
    // Each stretch's input for this block, read from its own place in the channel.
    const float* const* source;
    double* in;     // [step][stretch], the inputs as they enter
    float* out;     // [step][stretch], the last section's outputs
    float* results; // [stretch][step]: out, one stretch after another
    std::int64_t steps;
};

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

using LanesFn = void (*)(const LaneArgs&);

// One kernel per section count, 1 … kMaxLaneSections.
template <int... S>
constexpr std::array<LanesFn, sizeof...(S)> lanesTable(bool avx2,
                                                       std::integer_sequence<int, S...>) {
    return {(avx2 ? lanesAvx2<S + 1> : lanesBaseline<S + 1>)...};
}

LanesFn lanesKernel(int sections, bool avx2) {
    static constexpr auto baseline =
        lanesTable(false, std::make_integer_sequence<int, kLaneKernels>());
    static constexpr auto withAvx2 =
        lanesTable(true, std::make_integer_sequence<int, kLaneKernels>());
    return avx2 ? withAvx2[sections - 1] : baseline[sections - 1];
}

} // namespace

bool BiquadCascade::avx2Available() noexcept {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

BiquadCascade::Stretches BiquadCascade::stretches(std::int64_t n, std::int64_t warmUp,
                                                  int sections) {
    requirePrecondition(n >= 0 && warmUp >= 0, "BiquadCascade needs a length and a warm-up");
    Stretches s;
    s.bounds[1] = n;
    s.steps = n;
    // Every lane runs `steps` steps: the first stretch is that long, every later one needs its
    // warm-up first, so kStretches lanes cover steps + (kStretches − 1)·(steps − warmUp) samples.
    const std::int64_t steps = (n + (kStretches - 1) * warmUp + kStretches - 1) / kStretches;
    // At least halving the steps, steps ≤ n / 2, is n ≥ 2·(kStretches − 1)/(kStretches − 2)
    // warm-ups.
    if (sections < 1 || sections > kMaxLaneSections || warmUp == 0 ||
        2 * (kStretches - 1) * warmUp > (kStretches - 2) * n) {
        return s;
    }
    s.count = kStretches;
    s.steps = steps;
    for (int k = 1; k < kStretches; ++k) {
        s.bounds[k] = std::min(steps + (k - 1) * (steps - warmUp), n);
        s.starts[k] = std::min(s.bounds[k] - warmUp, n - steps);
    }
    s.bounds[kStretches] = n;
    return s;
}

BiquadCascade::BiquadCascade(std::span<const Cleaner::Biquad> sections,
                             std::span<const float> input, Kernel kernel)
    : input_(input) {
    avx2_ = kernel != Kernel::baseline && avx2Available();
    loadSections(sections);
    plan_.bounds[1] = std::numeric_limits<std::int64_t>::max();
    restartStream(0);
}

BiquadCascade::BiquadCascade(std::span<const Cleaner::Biquad> sections,
                             std::span<const float> input, std::int64_t warmUp, std::int64_t length,
                             std::span<float> store, std::int64_t storeFrom, Kernel kernel)
    : input_(input), length_(length), store_(store), storeFrom_(storeFrom) {
    const auto n = static_cast<std::int64_t>(input.size());
    requirePrecondition(0 <= length && length <= n && storeFrom >= 0,
                        "BiquadCascade needs a length within its input");
    avx2_ = kernel != Kernel::baseline && avx2Available();
    loadSections(sections);
    plan_ = stretches(n, warmUp, sections_);
    const std::int64_t storeEnd = storeFrom + static_cast<std::int64_t>(store.size());
    // Every later stretch's samples that will be pulled need a place: from the second stretch's
    // bound on, in the store or in the tail past it.
    lockstep_ = plan_.count > 1 && length > plan_.bounds[1] && storeFrom <= plan_.bounds[1] &&
                length - storeEnd <= kTail;
    restartStream(0);
}

void BiquadCascade::loadSections(std::span<const Cleaner::Biquad> sections) {
    requirePrecondition(sections.size() <= static_cast<std::size_t>(kMaxSections),
                        "BiquadCascade holds at most 18 sections");
    sections_ = static_cast<int>(sections.size());
    // The wavefront runs four wide only where the sections need more than one vector of four.
    width_ = avx2_ && sections_ > 4 ? 4 : 2;
    vectors_ = std::max((sections_ + width_ - 1) / width_, 1);
    for (int k = 0; k < sections_; ++k) {
        // Compared bit for bit: only then is b0 an exact stand-in for b2.
        requirePrecondition(std::memcmp(&sections[k].b0, &sections[k].b2, sizeof(double)) == 0,
                            "BiquadCascade needs sections with b2 equal to b0");
        const int i = laneOf(k);
        b0_[i] = sb0_[k] = sections[k].b0;
        b1_[i] = sb1_[k] = sections[k].b1;
        a1_[i] = sa1_[k] = sections[k].a1;
        a2_[i] = sa2_[k] = sections[k].a2;
    }
}

int BiquadCascade::laneOf(int section) const noexcept {
    return (section % vectors_) * width_ + section / vectors_;
}

void BiquadCascade::restartStream(std::int64_t start) {
    stream_ = input_.subspan(static_cast<std::size_t>(start));
    streamStep_ = 0;
    primed_ = false;
    ring_.fill(0.0);
    inputRing_.fill(0.0);
}

void BiquadCascade::pull(float* out, std::int64_t count) {
    if (count <= 0) {
        return;
    }
    requirePrecondition(count <= length_ - position_,
                        "BiquadCascade pulled past the length it was given");
    if (sections_ == 0) {
        // No section: the input itself, widened and narrowed back (exact).
        const auto size = static_cast<std::int64_t>(input_.size());
        for (std::int64_t i = 0; i < count; ++i, ++position_) {
            out[i] = position_ < size ? input_[static_cast<std::size_t>(position_)] : 0.0f;
        }
        return;
    }
    if (lockstep_) {
        pullLockstep(out, count);
    } else {
        pullStretchesInTurn(out, count);
    }
}

void BiquadCascade::pullStretchesInTurn(float* out, std::int64_t count) {
    while (count > 0) {
        const std::int64_t end = plan_.bounds[static_cast<std::size_t>(stretch_) + 1];
        if (position_ == end && stretch_ + 1 < plan_.count) {
            // The next stretch from its own start; its warm-up is filtered and dropped.
            ++stretch_;
            const std::int64_t start = plan_.starts[static_cast<std::size_t>(stretch_)];
            restartStream(start);
            for (std::int64_t left = position_ - start; left > 0;) {
                const std::int64_t m = std::min<std::int64_t>(left, results_.size());
                pullStream(results_.data(), m);
                left -= m;
            }
            continue;
        }
        const std::int64_t m =
            stretch_ + 1 < plan_.count ? std::min(count, end - position_) : count;
        pullStream(out, m);
        out += m;
        count -= m;
        position_ += m;
    }
}

void BiquadCascade::pullStream(float* out, std::int64_t count) {
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
    const auto size = static_cast<std::int64_t>(stream_.size());
    WavefrontArgs args{};
    args.b0 = b0_.data();
    args.b1 = b1_.data();
    args.a1 = a1_.data();
    args.a2 = a2_.data();
    args.ring = ring_.data();
    args.inputRing = inputRing_.data();
    args.phase = static_cast<std::uint32_t>(streamStep_ % kRingRows);
    args.in = streamStep_ < size ? stream_.data() + streamStep_ : nullptr;
    args.inAvailable = std::max<std::int64_t>(size - streamStep_, 0);
    args.out = out;
    args.steps = steps;
    args.outIndex = laneOf(sections_ - 1);
    wavefrontKernel(vectors_, width_ == 4)(args);
    streamStep_ += steps;
}

void BiquadCascade::pullLockstep(float* out, std::int64_t count) {
    const std::int64_t storeEnd = storeFrom_ + static_cast<std::int64_t>(store_.size());
    while (count > 0) {
        std::int64_t m = count;
        if (position_ < plan_.bounds[1]) {
            // The first stretch is handed out as the lanes run; the others land in the store.
            m = std::min(m, plan_.bounds[1] - position_);
            runLanes(out, m);
        } else {
            // Every lane is done: the rest was computed ahead.
            const std::int64_t stored = std::clamp<std::int64_t>(storeEnd - position_, 0, m);
            if (stored > 0) {
                // memmove: `out` may be the store at these very positions.
                std::memmove(out, store_.data() + (position_ - storeFrom_),
                             static_cast<std::size_t>(stored) * sizeof(float));
            }
            if (m > stored) {
                std::memcpy(out + stored, tail_.data() + (position_ + stored - storeEnd),
                            static_cast<std::size_t>(m - stored) * sizeof(float));
            }
        }
        out += m;
        count -= m;
        position_ += m;
    }
}

void BiquadCascade::runLanes(float* out, std::int64_t steps) {
    std::array<const float*, kStretches> source{};
    LaneArgs args{};
    args.b0 = sb0_.data();
    args.b1 = sb1_.data();
    args.a1 = sa1_.data();
    args.a2 = sa2_.data();
    args.state = laneState_.data();
    args.source = source.data();
    args.in = blockIn_.data();
    args.out = blockOut_.data();
    args.results = results_.data();
    const LanesFn kernel = lanesKernel(sections_, avx2_);
    while (steps > 0) {
        const std::int64_t m = std::min(steps, kBlock);
        for (int k = 0; k < kStretches; ++k) {
            source[static_cast<std::size_t>(k)] =
                input_.data() + plan_.starts[static_cast<std::size_t>(k)] + step_;
        }
        args.steps = m;
        kernel(args);
        // Lane 0 runs the first stretch from the channel's start: its every step is handed out.
        std::memcpy(out, results_.data(), static_cast<std::size_t>(m) * sizeof(float));
        for (int k = 1; k < kStretches; ++k) {
            const auto K = static_cast<std::size_t>(k);
            const std::int64_t first = plan_.starts[K] + step_;
            const std::int64_t lo = std::max(first, plan_.bounds[K]);
            const std::int64_t hi = std::min({first + m, plan_.bounds[K + 1], length_});
            if (lo < hi) {
                keep(results_.data() + k * kBlock + (lo - first), lo, hi - lo);
            }
        }
        step_ += m;
        out += m;
        steps -= m;
    }
}

void BiquadCascade::keep(const float* from, std::int64_t position, std::int64_t count) {
    const std::int64_t storeEnd = storeFrom_ + static_cast<std::int64_t>(store_.size());
    const std::int64_t stored = std::clamp<std::int64_t>(storeEnd - position, 0, count);
    if (stored > 0) {
        std::memcpy(store_.data() + (position - storeFrom_), from,
                    static_cast<std::size_t>(stored) * sizeof(float));
    }
    if (count > stored) {
        std::memcpy(tail_.data() + (position + stored - storeEnd), from + stored,
                    static_cast<std::size_t>(count - stored) * sizeof(float));
    }
}

} // namespace taln
