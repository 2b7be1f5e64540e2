#include "model/cleaning_run.h"

#include "engine/cleaner.h"
#include "model/background_work.h"

#include <mutex>

namespace taln::CleaningRun {

std::optional<Channels> cleanAll(const Channels& channels, const std::vector<NoiseSample>& noise,
                                 float strength, const CancelToken& token) {
    const auto count = static_cast<std::int64_t>(channels.size());
    if (count == 0 || noise.size() != channels.size()) {
        return std::nullopt;
    }

    // The engine gives a strength that is not above 0 back unchanged: share the original
    // buffers instead of copying them.
    if (!(strength > 0.0f)) {
        return token.cancelled() ? std::nullopt : std::optional<Channels>(channels);
    }

    // One slot per channel; the workers store into the table under the lock, never while
    // cleaning.
    std::vector<std::optional<std::vector<float>>> slots(channels.size());
    std::mutex slotsLock;

    BackgroundWork::forEachIndex(count, [&](std::int64_t i) {
        const auto index = static_cast<std::size_t>(i);
        auto result = Cleaner::clean(*channels[index], noise[index].profile, strength,
                                     kSampleRate, token, noise[index].hum);
        std::lock_guard lock(slotsLock);
        slots[index] = std::move(result);
    });

    if (token.cancelled()) {
        return std::nullopt;
    }
    Channels cleaned;
    cleaned.reserve(channels.size());
    for (auto& slot : slots) {
        if (!slot) {
            return std::nullopt;
        }
        cleaned.push_back(std::make_shared<const Channel>(std::move(*slot)));
    }
    return cleaned;
}

} // namespace taln::CleaningRun
