#include "engine/biquad_cascade.h"

#include "engine/biquad_kernels.h"
#include "engine/precondition.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace taln {

using BiquadKernels::LaneArgs;
using BiquadKernels::LanesFn;
using BiquadKernels::WavefrontArgs;

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
    BiquadKernels::wavefrontKernel(vectors_, width_ == 4)(args);
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
    const LanesFn kernel = BiquadKernels::lanesKernel(sections_, avx2_);
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
