#include "model/noise_choice.h"

#include "audio/wording.h"
#include "model/background_work.h"

#include <algorithm>

namespace taln::NoiseChoice {

QString doubtfulNotice() {
    return QString::fromStdString(Wording::doubtfulNoise()) +
           QStringLiteral(" Shift+drag across a stretch of noise alone and choose "
                          "\u201cUse as Noise Sample\u201d.");
}

QString tooShortNotice() {
    return QStringLiteral("That stretch is too short for a noise sample: select at least "
                          "0.05 seconds (2,048 samples).");
}

std::vector<Stretch> runs(const std::vector<NoiseSample>& noise) {
    std::vector<Stretch> frames;
    for (const NoiseSample& sample : noise) {
        for (const std::int64_t start : sample.frameStarts) {
            frames.push_back({start, start + Cleaner::kFrameLength});
        }
    }
    std::sort(frames.begin(), frames.end(),
              [](const Stretch& a, const Stretch& b) { return a.first < b.first; });
    std::vector<Stretch> merged;
    for (const Stretch& frame : frames) {
        if (!merged.empty() && frame.first <= merged.back().last) {
            merged.back().last = std::max(merged.back().last, frame.last);
        } else {
            merged.push_back(frame);
        }
    }
    return merged;
}

std::vector<NoiseSample> measure(const Channels& channels, double sampleRate, Stretch stretch) {
    std::vector<NoiseSample> noise(channels.size());
    BackgroundWork::forEachIndex(static_cast<std::int64_t>(channels.size()), [&](std::int64_t i) {
        const auto c = static_cast<std::size_t>(i);
        noise[c] = NoiseSample::measure(*channels[c], sampleRate, stretch.first, stretch.last);
    });
    return noise;
}

bool doubtful(const std::vector<NoiseSample>& noise) {
    return std::any_of(noise.begin(), noise.end(),
                       [](const NoiseSample& sample) { return sample.doubtful(); });
}

} // namespace taln::NoiseChoice
