#pragma once

// The pre-filter's SIMD kernels, for BiquadCascade (see its header for the arithmetic, the
// stretches and why each kernel is built the way it is). Internal to the engine.
//
// The wavefront runs one stream across the sections, one lane per section; the lanes run the
// stretches of a channel in lockstep, one lane per stretch. Each comes as a baseline (SSE2) and
// an AVX2 build that give the same bits, chosen by the caller once per cascade.
//
// Thread: any; a kernel touches only what its arguments point at. Allocation: none.

#include <cstdint>

namespace taln::BiquadKernels {

// One stream: the wavefront across the sections.
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

using WavefrontFn = void (*)(const WavefrontArgs&);

// The wavefront kernel for sections held in `vectors` vectors, four lanes wide with `avx2`
// (2 ... 5 vectors), else two (1 ... 9 vectors).
WavefrontFn wavefrontKernel(int vectors, bool avx2);

// The stretches in lockstep, one block of steps.
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

using LanesFn = void (*)(const LaneArgs&);

// The lockstep kernel for `sections` sections, 1 ... BiquadCascade::kMaxLaneSections.
LanesFn lanesKernel(int sections, bool avx2);

} // namespace taln::BiquadKernels
