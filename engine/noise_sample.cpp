#include "engine/noise_sample.h"

#include "engine/hum_detector.h"

#include <algorithm>
#include <cmath>

namespace taln {

namespace {

// As the profile's estimate: frames of mean square at or below this (about -90 dBFS) are
// digital silence, neither quiet nor loud.
constexpr double kSilenceMeanSquare = 1e-9;
// The loud end of the recording: the frame at this fraction of the energies, ascending.
constexpr double kLoudQuantile = 0.95;

// The averaged frames' mean energy over the kLoudQuantile frame's, frames of 2048 samples at
// a hop of 512 as the estimate counts them, from the estimate's hop energies.
float quietToLoudOf(const Cleaner::NoiseEstimate& estimate) {
    const std::vector<std::int64_t>& averaged = estimate.frames;
    const std::vector<float>& hopEnergy = estimate.hopEnergies;
    constexpr std::int64_t kHopsPerFrame = Cleaner::kFrameLength / Cleaner::kHop;
    if (averaged.empty() || static_cast<std::int64_t>(hopEnergy.size()) < kHopsPerFrame) {
        return 0.0f;
    }
    const std::int64_t frames = static_cast<std::int64_t>(hopEnergy.size()) - kHopsPerFrame + 1;
    const auto frameEnergy = [&](std::int64_t f) {
        double sum = 0.0;
        for (std::int64_t h = f; h < f + kHopsPerFrame; ++h) {
            sum += hopEnergy[static_cast<std::size_t>(h)];
        }
        return sum;
    };
    std::vector<double> energies;
    energies.reserve(static_cast<std::size_t>(frames));
    for (std::int64_t f = 0; f < frames; ++f) {
        const double e = frameEnergy(f);
        if (e / static_cast<double>(Cleaner::kFrameLength) > kSilenceMeanSquare) {
            energies.push_back(e);
        }
    }
    double quiet = 0.0;
    for (const std::int64_t f : averaged) {
        quiet += frameEnergy(f);
    }
    quiet /= static_cast<double>(averaged.size());
    if (energies.empty()) {
        return 0.0f;
    }
    const auto at =
        static_cast<std::size_t>(kLoudQuantile * static_cast<double>(energies.size() - 1));
    std::nth_element(energies.begin(), energies.begin() + static_cast<std::ptrdiff_t>(at),
                     energies.end());
    const double ratio = quiet / energies[at];
    return std::isfinite(ratio) ? static_cast<float>(ratio) : 1.0f;
}

} // namespace

NoiseSample NoiseSample::measure(std::span<const float> channel, double sampleRate,
                                 std::int64_t first, std::int64_t last) {
    Steps steps(channel, sampleRate, first, last);
    steps.averageProfile();
    steps.detectHum();
    steps.trackNoise();
    return std::move(steps).take();
}

NoiseSample::Steps::Steps(std::span<const float> channel, double sampleRate, std::int64_t first,
                          std::int64_t last)
    : Steps(channel, sampleRate, first, last, 1) {
    sumHops(0);
    choose();
}

NoiseSample::Steps::Steps(std::span<const float> channel, double sampleRate, std::int64_t first,
                          std::int64_t last, int parts)
    : sampleRate_(sampleRate), parts_(std::max(parts, 1)) {
    const auto n = static_cast<std::int64_t>(channel.size());
    first_ = std::clamp<std::int64_t>(first, 0, n);
    last = std::clamp<std::int64_t>(last, first_, n);
    whole_ = first_ == 0 && last == n;
    stretch_ =
        channel.subspan(static_cast<std::size_t>(first_), static_cast<std::size_t>(last - first_));
    hopEnergies_.resize(
        static_cast<std::size_t>(Cleaner::noiseHops(static_cast<std::int64_t>(stretch_.size()))));
}

void NoiseSample::Steps::sumHops(int part) {
    const auto hops = static_cast<std::int64_t>(hopEnergies_.size());
    const std::int64_t begin = hops * part / parts_;
    const std::int64_t end = hops * (part + 1) / parts_;
    Cleaner::sumNoiseHops(
        stretch_, begin,
        std::span(hopEnergies_)
            .subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

void NoiseSample::Steps::choose() {
    estimate_ = Cleaner::chooseNoiseFrames(stretch_, std::move(hopEnergies_));
}

void NoiseSample::Steps::averageProfile() {
    sample_.profile = Cleaner::averageNoiseFrames(stretch_, estimate_.quietestFirst);
}

void NoiseSample::Steps::detectHum() {
    sample_.hum = HumDetector::detect(stretch_, estimate_.frames, sampleRate_);
    sample_.quietToLoud = quietToLoudOf(estimate_);
}

void NoiseSample::Steps::trackNoise() {
    if (whole_) {
        sample_.track = NoiseTrack::measure(stretch_, sampleRate_, estimate_.frames);
    }
}

NoiseSample NoiseSample::Steps::take() && {
    sample_.quietToMedian = estimate_.quietToMedian;
    sample_.frameStarts.reserve(estimate_.frames.size());
    for (const std::int64_t f : estimate_.frames) {
        sample_.frameStarts.push_back(first_ + f * Cleaner::kHop);
    }
    const std::vector<std::int64_t>& followed = sample_.track.followedFrames();
    if (!followed.empty()) {
        sample_.frameStarts.insert(sample_.frameStarts.end(), followed.begin(), followed.end());
        std::sort(sample_.frameStarts.begin(), sample_.frameStarts.end());
        sample_.frameStarts.erase(
            std::unique(sample_.frameStarts.begin(), sample_.frameStarts.end()),
            sample_.frameStarts.end());
    }
    return std::move(sample_);
}

} // namespace taln
