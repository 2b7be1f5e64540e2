// Taln's LV2 plugins: the real-time cleaner in any LV2 host, mono (urn:taln:clean-mono) and
// stereo as two linked channels (urn:taln:clean-stereo). The ports are described in taln.ttl;
// their indices here must match it.
//
// Threads, as LV2 defines them: instantiate, activate, deactivate and cleanup may allocate (the
// cleaner is built and reset there); connect_port and run are real-time, and run allocates,
// locks and blocks on nothing.

#include "engine/realtime_cleaner.h"
#include "engine/strength.h"
#include "live/live_plans.h"

#include <lv2/core/lv2.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>

namespace {

constexpr const char* kMonoUri = "urn:taln:clean-mono";
constexpr const char* kStereoUri = "urn:taln:clean-stereo";

class Plugin {
public:
    Plugin(double sampleRate, int channels)
        : channels_(channels),
          cleaner_(sampleRate, channels, taln::Strength::fromPercent(strength_)) {}

    // Audio ports first (inputs, then outputs), then Strength, Learn noise and the latency.
    void connect(std::uint32_t port, void* data) noexcept {
        const auto c = static_cast<std::uint32_t>(channels_);
        if (port < c) {
            in_[port] = static_cast<const float*>(data);
        } else if (port < 2 * c) {
            out_[port - c] = static_cast<float*>(data);
        } else if (port == 2 * c) {
            strengthPort_ = static_cast<const float*>(data);
        } else if (port == 2 * c + 1) {
            learnPort_ = static_cast<const float*>(data);
        } else if (port == 2 * c + 2) {
            latencyPort_ = static_cast<float*>(data);
        }
    }

    void activate() {
        try {
            cleaner_.reset();
        } catch (const std::bad_alloc&) {
            // The gain keeps its state from before: the noise is still learned afresh.
        }
    }

    void run(std::uint32_t count) noexcept {
        if (strengthPort_ != nullptr && *strengthPort_ != strength_) {
            strength_ = *strengthPort_;
            // The port's range is 0 … 100; a host may send anything.
            const double percent =
                std::isfinite(strength_) ? std::fmin(std::fmax(strength_, 0.0f), 100.0f) : 0.0;
            cleaner_.setStrength(taln::Strength::fromPercent(percent));
        }
        if (learnPort_ != nullptr) {
            cleaner_.setLearning(*learnPort_ >= 0.5f);
        }
        if (latencyPort_ != nullptr) {
            *latencyPort_ = static_cast<float>(cleaner_.latency());
        }
        cleaner_.process(in_, out_, count);
    }

private:
    int channels_;
    float strength_ = static_cast<float>(taln::Strength::kDefaultPercent);
    taln::RealtimeCleaner cleaner_;
    const float* in_[taln::RealtimeCleaner::kMaxChannels] = {};
    float* out_[taln::RealtimeCleaner::kMaxChannels] = {};
    const float* strengthPort_ = nullptr;
    const float* learnPort_ = nullptr;
    float* latencyPort_ = nullptr;
};

template <int Channels>
LV2_Handle instantiate(const LV2_Descriptor*, double sampleRate, const char*,
                       const LV2_Feature* const*) {
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate)) {
        return nullptr;
    }
    // Nothing may escape into a host written in C: out of memory, the host gets no instance.
    try {
        taln::prepareLivePlans();
        return new Plugin(sampleRate, Channels);
    } catch (const std::exception&) {
        return nullptr;
    }
}

void connectPort(LV2_Handle handle, std::uint32_t port, void* data) {
    static_cast<Plugin*>(handle)->connect(port, data);
}

void activate(LV2_Handle handle) {
    static_cast<Plugin*>(handle)->activate();
}

void run(LV2_Handle handle, std::uint32_t count) {
    static_cast<Plugin*>(handle)->run(count);
}

void cleanup(LV2_Handle handle) {
    delete static_cast<Plugin*>(handle);
}

const void* extensionData(const char*) {
    return nullptr;
}

const LV2_Descriptor kDescriptors[] = {
    {kMonoUri, instantiate<1>, connectPort, activate, run, nullptr, cleanup, extensionData},
    {kStereoUri, instantiate<2>, connectPort, activate, run, nullptr, cleanup, extensionData},
};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index < std::size(kDescriptors) ? &kDescriptors[index] : nullptr;
}
