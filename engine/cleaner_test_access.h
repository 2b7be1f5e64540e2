#pragma once

// CleanerTestAccess: the door through which the engine's tests and benchmarks reach the private
// pieces of Cleaner (the pre-filter, its sections, and a clean run with a per-frame observer).
// Not for application code: the model and the views use Cleaner's public operations only.

#include "engine/biquad_cascade.h"
#include "engine/cleaner.h"
#include "engine/cleaning_pieces.h"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

namespace taln {

struct CleanerTestAccess {
    using Section = Cleaner::Biquad;

    static std::vector<Section> prefilterSections(double sr, float s,
                                                  Cleaner::HumMask hum = Cleaner::kAllHum) {
        return Cleaner::prefilterSections(sr, s, hum);
    }

    static std::vector<float> prefilter(std::span<const float> samples, double sr, float s) {
        return Cleaner::prefilter(samples, sr, s);
    }

    // The pre-filter through a chosen kernel, pulled in blocks of `block` samples; `length`
    // samples in all (the input's length when negative).
    static std::vector<float> prefilterWith(BiquadCascade::Kernel kernel,
                                            std::span<const float> samples, double sr, float s,
                                            std::int64_t block, std::int64_t length = -1,
                                            Cleaner::HumMask hum = Cleaner::kAllHum) {
        const std::vector<Cleaner::Biquad> sections = Cleaner::prefilterSections(sr, s, hum);
        BiquadCascade cascade(sections, samples, kernel);
        std::vector<float> out(length < 0 ? samples.size() : static_cast<std::size_t>(length));
        for (std::int64_t done = 0; done < static_cast<std::int64_t>(out.size()); done += block) {
            const std::int64_t n = std::min<std::int64_t>(block, out.size() - done);
            cascade.pull(out.data() + done, n);
        }
        return out;
    }

    // The pre-filter cut into stretches as the cleaner cuts it at `sr`, through a chosen kernel,
    // pulled in blocks of `block` samples. With `store`, the result lends the cascade its place
    // and the stretches run in lockstep; without, they run one after another.
    static std::vector<float> prefilterStretched(BiquadCascade::Kernel kernel,
                                                 std::span<const float> samples, double sr, float s,
                                                 Cleaner::HumMask hum, std::int64_t block,
                                                 bool store) {
        const std::vector<Cleaner::Biquad> sections = Cleaner::prefilterSections(sr, s, hum);
        std::vector<float> out(samples.size());
        const auto n = static_cast<std::int64_t>(out.size());
        BiquadCascade cascade(sections, samples, CleaningPieces::warmUp(sr), n,
                              store ? std::span<float>(out) : std::span<float>(), 0, kernel);
        for (std::int64_t done = 0; done < n; done += block) {
            cascade.pull(out.data() + done, std::min(block, n - done));
        }
        return out;
    }

    // Any sections (at most 18, b2 = b0) through a chosen kernel, pulled in blocks of `block`
    // samples.
    static std::vector<float> cascade(const std::vector<Section>& sections,
                                      BiquadCascade::Kernel kernel, std::span<const float> samples,
                                      std::int64_t block) {
        BiquadCascade cascade(sections, samples, kernel);
        std::vector<float> out(samples.size());
        for (std::int64_t done = 0; done < static_cast<std::int64_t>(out.size()); done += block) {
            cascade.pull(out.data() + done, std::min<std::int64_t>(block, out.size() - done));
        }
        return out;
    }

    // Cleaner::clean, calling `observer(frame)` after each frame's cancellation poll.
    template <typename Observer>
    static std::optional<std::vector<float>>
    cleanObserved(std::span<const float> samples, std::span<const float> noise, float strength,
                  double sampleRate, const CancelToken& token, Observer& observer) {
        return Cleaner::cleanObserved(
            samples, noise, strength, sampleRate, token,
            [](std::int64_t frame, void* user) { (*static_cast<Observer*>(user))(frame); },
            &observer);
    }
};

} // namespace taln
