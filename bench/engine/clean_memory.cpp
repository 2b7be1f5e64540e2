// Peak memory of one clean call on a 10-minute mono channel, as a multiple of the channel's
// size. Reads the process's peak resident set (getrusage) before the channel exists and after
// the call; the difference covers the input, the result and all working memory of the call.
// Run it on its own, e.g. also under /usr/bin/time -v.

#include "engine/cleaner.h"

#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

long peakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // KiB on Linux
}

} // namespace

int main() {
    constexpr std::int64_t kSamples = 10 * 60 * 44100;
    const long before = peakKiB();

    // Stationary noise plus a tone, written in place: no second copy of the channel.
    std::vector<float> x(static_cast<std::size_t>(kSamples));
    std::uint32_t state = 12345;
    for (std::int64_t i = 0; i < kSamples; ++i) {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        x[i] = 0.05f * noise + 0.2f * static_cast<float>(std::sin(0.0625 * double(i)));
    }
    const std::vector<float> profile = taln::Cleaner::estimateNoise(x);
    const long withInput = peakKiB();

    taln::CancelToken token;
    const auto out = taln::Cleaner::clean(x, profile, 0.6f, 44100.0, token);
    const long after = peakKiB();

    const double channelKiB = static_cast<double>(kSamples) * sizeof(float) / 1024.0;
    std::printf("channel %.1f MiB; result %s\n", channelKiB / 1024.0,
                out && out->size() == x.size() ? "complete" : "MISSING");
    std::printf("peak resident growth with the input alone: %.2f x channel\n",
                static_cast<double>(withInput - before) / channelKiB);
    std::printf("peak resident growth through one clean call: %.2f x channel "
                "(input + result + working memory)\n",
                static_cast<double>(after - before) / channelKiB);
    return out ? 0 : 1;
}
