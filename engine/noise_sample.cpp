#include "engine/noise_sample.h"

#include "engine/hum_detector.h"
#include "engine/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <optional>

namespace taln {

namespace {

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
        if (e / static_cast<double>(Cleaner::kFrameLength) > Cleaner::kSilenceMeanSquare) {
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

// One channel's sample in steps: the frames' energies summed in `parts` (sumHops of each part,
// at once on different threads), then choose() chooses the frames; averageProfile, detectHum
// and trackNoise may then run at once; take() hands back the sample. The channel must outlive
// the steps.
class Steps {
public:
    Steps(std::span<const float> channel, double sampleRate, std::int64_t first, std::int64_t last,
          int parts);
    void sumHops(int part);
    void choose();
    void averageProfile();
    // The hum lines, and quietToLoud.
    void detectHum();
    // The noise track (nothing for a chosen stretch).
    void trackNoise();
    NoiseSample take() &&;

private:
    std::span<const float> stretch_;
    bool whole_ = false;
    double sampleRate_;
    std::int64_t first_ = 0;
    int parts_ = 1;
    std::vector<float> hopEnergies_;
    Cleaner::NoiseEstimate estimate_;
    NoiseSample sample_;
};

Steps::Steps(std::span<const float> channel, double sampleRate, std::int64_t first,
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

void Steps::sumHops(int part) {
    const auto hops = static_cast<std::int64_t>(hopEnergies_.size());
    const std::int64_t begin = hops * part / parts_;
    const std::int64_t end = hops * (part + 1) / parts_;
    Cleaner::sumNoiseHops(
        stretch_, begin,
        std::span(hopEnergies_)
            .subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

void Steps::choose() {
    estimate_ = Cleaner::chooseNoiseFrames(stretch_, std::move(hopEnergies_));
}

void Steps::averageProfile() {
    sample_.profile = Cleaner::averageNoiseFrames(stretch_, estimate_.quietestFirst);
}

void Steps::detectHum() {
    sample_.hum = HumDetector::detect(stretch_, estimate_.frames, sampleRate_);
    sample_.quietToLoud = quietToLoudOf(estimate_);
}

void Steps::trackNoise() {
    if (whole_) {
        sample_.track = NoiseTrack::measure(stretch_, sampleRate_, estimate_.frames);
    }
}

NoiseSample Steps::take() && {
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

} // namespace

NoiseSample NoiseSample::measure(std::span<const float> channel, double sampleRate,
                                 std::int64_t first, std::int64_t last) {
    const std::span<const float> channels[] = {channel};
    return std::move(measureAll(channels, sampleRate, first, last, nullptr).front());
}

std::vector<NoiseSample> NoiseSample::measureAll(std::span<const std::span<const float>> channels,
                                                 double sampleRate, std::int64_t first,
                                                 std::int64_t last, WorkerPool* pool, bool track) {
    const std::size_t count = channels.size();
    std::optional<WorkerPool::TaskGroup> group;
    if (pool) {
        group.emplace(*pool);
    }
    const auto run = [&group](std::function<void()> step) {
        if (group) {
            group->run(std::move(step));
        } else {
            step();
        }
    };
    const int parts = pool && pool->threadCount() > 1 ? 2 : 1;
    std::vector<std::optional<Steps>> steps(count);
    std::vector<std::atomic<int>> summing(count);
    for (std::size_t c = 0; c < count; ++c) {
        steps[c].emplace(channels[c], sampleRate, first, last, parts);
        summing[c].store(parts);
    }
    // The part that sums last chooses the frames and posts what follows from them.
    for (std::size_t c = 0; c < count; ++c) {
        for (int part = 0; part < parts; ++part) {
            run([&, c, part] {
                steps[c]->sumHops(part);
                if (summing[c].fetch_sub(1) != 1) {
                    return;
                }
                steps[c]->choose();
                if (track) {
                    run([&, c] { steps[c]->trackNoise(); });
                }
                run([&, c] { steps[c]->detectHum(); });
                steps[c]->averageProfile();
            });
        }
    }
    if (group) {
        group->wait();
    }
    std::vector<NoiseSample> samples;
    samples.reserve(count);
    for (std::size_t c = 0; c < count; ++c) {
        samples.push_back(std::move(*steps[c]).take());
    }
    return samples;
}

} // namespace taln
