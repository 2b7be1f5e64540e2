#include "engine/biquad_cascade.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace taln {

namespace {

constexpr std::int64_t kBlock = 4096;

// Four doubles, one section per lane. GCC vector extensions give the same lane-wise IEEE
// operations under SSE2 (two halves) and AVX2 (one register), so both builds of the kernel
// compute identical bits.
using V4 = double __attribute__((vector_size(32)));
using Mask4 = std::int64_t __attribute__((vector_size(32)));

struct WavefrontArgs {
    const double* b0;
    const double* b1;
    const double* b2;
    const double* a1;
    const double* a2;
    double* x1;
    double* x2;
    double* y1;
    double* y2;
    const float* in;          // input of the first step
    std::int64_t inAvailable; // steps that take an input sample; later steps take zeros
    float* out;               // one output per step: the last section's newest sample
    std::int64_t steps;
    int outLane; // lane of the last section within the last vector
};

// Vector loads and stores through memcpy (no aliasing questions; compiled to plain moves).
// Not functions: passing a 32-byte vector by value would depend on the target's ABI.
#define TALN_LOAD(dst, src) std::memcpy(&(dst), (src), sizeof(V4))
#define TALN_STORE(dst, src) std::memcpy((dst), &(src), sizeof(V4))

template <int NV> [[gnu::always_inline]] inline void wavefrontSteps(const WavefrontArgs& a) {
    V4 b0[NV], b1[NV], b2[NV], a1[NV], a2[NV], x1[NV], x2[NV], y1[NV], y2[NV];
    for (int v = 0; v < NV; ++v) {
        TALN_LOAD(b0[v], a.b0 + 4 * v);
        TALN_LOAD(b1[v], a.b1 + 4 * v);
        TALN_LOAD(b2[v], a.b2 + 4 * v);
        TALN_LOAD(a1[v], a.a1 + 4 * v);
        TALN_LOAD(a2[v], a.a2 + 4 * v);
        TALN_LOAD(x1[v], a.x1 + 4 * v);
        TALN_LOAD(x2[v], a.x2 + 4 * v);
        TALN_LOAD(y1[v], a.y1 + 4 * v);
        TALN_LOAD(y2[v], a.y2 + 4 * v);
    }
    // Lane k's input is what lane k−1 produced in the previous step (lane 0's is the new
    // sample): the lanes shift up by one across the vectors.
    const Mask4 shiftUp = {3, 4, 5, 6};
    const auto step = [&](double sample) [[gnu::always_inline]] {
        V4 x[NV];
        const V4 fresh = {sample, sample, sample, sample};
        x[0] = __builtin_shuffle(fresh, y1[0], shiftUp);
        for (int v = 1; v < NV; ++v) {
            x[v] = __builtin_shuffle(y1[v - 1], y1[v], shiftUp);
        }
        for (int v = 0; v < NV; ++v) {
            const V4 y =
                ((b2[v] * x2[v] + (b1[v] * x1[v] + b0[v] * x[v])) - a1[v] * y1[v]) - a2[v] * y2[v];
            x2[v] = x1[v];
            x1[v] = x[v];
            y2[v] = y1[v];
            y1[v] = y;
        }
    };
    const std::int64_t fed = std::min(a.inAvailable, a.steps);
    for (std::int64_t s = 0; s < fed; ++s) {
        step(static_cast<double>(a.in[s]));
        a.out[s] = static_cast<float>(y1[NV - 1][a.outLane]);
    }
    for (std::int64_t s = std::max<std::int64_t>(fed, 0); s < a.steps; ++s) {
        step(0.0);
        a.out[s] = static_cast<float>(y1[NV - 1][a.outLane]);
    }
    for (int v = 0; v < NV; ++v) {
        TALN_STORE(a.x1 + 4 * v, x1[v]);
        TALN_STORE(a.x2 + 4 * v, x2[v]);
        TALN_STORE(a.y1 + 4 * v, y1[v]);
        TALN_STORE(a.y2 + 4 * v, y2[v]);
    }
}

#undef TALN_LOAD
#undef TALN_STORE

template <int NV> void wavefrontBaseline(const WavefrontArgs& a) {
    wavefrontSteps<NV>(a);
}

template <int NV> __attribute__((target("avx2"))) void wavefrontAvx2(const WavefrontArgs& a) {
    wavefrontSteps<NV>(a);
}

using WavefrontFn = void (*)(const WavefrontArgs&);

WavefrontFn wavefrontKernel(int vectors, bool avx2) {
    static constexpr WavefrontFn baseline[] = {wavefrontBaseline<1>, wavefrontBaseline<2>,
                                               wavefrontBaseline<3>, wavefrontBaseline<4>,
                                               wavefrontBaseline<5>};
    static constexpr WavefrontFn withAvx2[] = {wavefrontAvx2<1>, wavefrontAvx2<2>, wavefrontAvx2<3>,
                                               wavefrontAvx2<4>, wavefrontAvx2<5>};
    return avx2 ? withAvx2[vectors - 1] : baseline[vectors - 1];
}

} // namespace

bool BiquadCascade::avx2Available() noexcept {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

BiquadCascade::BiquadCascade(std::span<const Cleaner::Biquad> sections,
                             std::span<const float> input, Kernel kernel)
    : input_(input), kernel_(kernel), sections_(static_cast<int>(sections.size())),
      vectors_((sections_ + 3) / 4) {
    assert(sections.size() <= static_cast<std::size_t>(kMaxSections));
    if (kernel_ == Kernel::best) {
        kernel_ = avx2Available() ? Kernel::wavefrontAvx2 : Kernel::wavefront;
    } else if (kernel_ == Kernel::wavefrontAvx2 && !avx2Available()) {
        kernel_ = Kernel::wavefront;
    }
    for (int k = 0; k < sections_; ++k) {
        b0_[k] = sections[k].b0;
        b1_[k] = sections[k].b1;
        b2_[k] = sections[k].b2;
        a1_[k] = sections[k].a1;
        a2_[k] = sections[k].a2;
    }
    if (kernel_ == Kernel::sectionwise) {
        block_.resize(static_cast<std::size_t>(kBlock));
    }
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
    if (kernel_ == Kernel::sectionwise) {
        pullSectionwise(out, count);
    } else {
        pullWavefront(out, count);
    }
}

void BiquadCascade::pullSectionwise(float* out, std::int64_t count) {
    const auto size = static_cast<std::int64_t>(input_.size());
    while (count > 0) {
        const std::int64_t n = std::min(count, kBlock);
        double* x = block_.data();
        for (std::int64_t i = 0; i < n; ++i) {
            x[i] = step_ + i < size ? static_cast<double>(input_[step_ + i]) : 0.0;
        }
        for (int k = 0; k < sections_; ++k) {
            const double b0 = b0_[k], b1 = b1_[k], b2 = b2_[k], a1 = a1_[k], a2 = a2_[k];
            double x1 = x1_[k], x2 = x2_[k], y1 = y1_[k], y2 = y2_[k];
            for (std::int64_t i = 0; i < n; ++i) {
                const double x0 = x[i];
                const double y = ((b2 * x2 + (b1 * x1 + b0 * x0)) - a1 * y1) - a2 * y2;
                x2 = x1;
                x1 = x0;
                y2 = y1;
                y1 = y;
                x[i] = y;
            }
            x1_[k] = x1;
            x2_[k] = x2;
            y1_[k] = y1;
            y2_[k] = y2;
        }
        for (std::int64_t i = 0; i < n; ++i) {
            out[i] = static_cast<float>(x[i]);
        }
        out += n;
        count -= n;
        step_ += n;
    }
}

void BiquadCascade::pullWavefront(float* out, std::int64_t count) {
    if (!primed_) {
        // The first sections−1 steps fill the pipeline: after step j only sections 0 … j have
        // seen a sample. Sections further up are put back to rest after each of these steps,
        // so each section starts from exact zeros as in a pass of its own.
        std::array<float, 1> discard{};
        for (int j = 0; j + 1 < sections_; ++j) {
            runWavefront(discard.data(), 1);
            for (int k = j + 1; k < kMaxSections; ++k) {
                x1_[k] = x2_[k] = y1_[k] = y2_[k] = 0.0;
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
    args.b2 = b2_.data();
    args.a1 = a1_.data();
    args.a2 = a2_.data();
    args.x1 = x1_.data();
    args.x2 = x2_.data();
    args.y1 = y1_.data();
    args.y2 = y2_.data();
    args.in = step_ < size ? input_.data() + step_ : nullptr;
    args.inAvailable = std::max<std::int64_t>(size - step_, 0);
    args.out = out;
    args.steps = steps;
    args.outLane = (sections_ - 1) % 4;
    wavefrontKernel(vectors_, kernel_ == Kernel::wavefrontAvx2)(args);
    step_ += steps;
}

} // namespace taln
