#include "engine/noise_track.h"

#include "engine/cleaner.h"
#include "engine/precondition.h"
#include "engine/real_fft.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace taln {

namespace {

constexpr std::int64_t kFrame = Cleaner::kFrameLength;
constexpr std::int64_t kBins = Cleaner::kBins;
constexpr std::int64_t kNyquist = kBins - 1;

// Band edges in Hz: 100 Hz wide up to 500 Hz (hum and rumble live there), then about a third of an
// octave; above 20 kHz in octaves, for the highest rates.
constexpr std::array<double, 29> kEdgesHz = {
    100.0,  200.0,  300.0,   400.0,   510.0,   630.0,   770.0,   920.0,   1080.0, 1270.0,
    1480.0, 1720.0, 2000.0,  2320.0,  2700.0,  3150.0,  3700.0,  4400.0,  5300.0, 6400.0,
    7700.0, 9500.0, 12000.0, 15500.0, 20000.0, 28000.0, 40000.0, 56000.0, 80000.0};
static_assert(kEdgesHz.size() + 1 <= NoiseTrack::Bands::kMost);

// The voice's band, where the fluctuation of the noise is measured.
constexpr double kVoiceLowHz = 500.0;
constexpr double kVoiceHighHz = 4500.0;

// A raise never exceeds 60 dB: a floor that far above the profile is a recording that changed
// completely, and the cleaner's subtraction is already total long before.
constexpr float kLargestRaise = 1e6f;

// Sliding minimum of `x` over [i − before, i + after] for every i, by a monotonic queue of
// indices held in `queue` (sized by the caller): O(n). Near the ends the window keeps its length,
// shifted inside `x`, so that the last moments of a recording that ends in speech still see a
// pause.
void slidingMinimum(std::span<const float> x, std::int64_t before, std::int64_t after,
                    std::span<float> out, std::vector<std::int64_t>& queue) {
    const auto n = static_cast<std::int64_t>(x.size());
    const std::int64_t length = before + after;
    std::size_t head = 0;
    std::size_t tail = 0;
    std::int64_t next = 0; // the next index to enter the window
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t lo = std::max<std::int64_t>(0, std::min(i - before, n - 1 - length));
        const std::int64_t hi = std::min(lo + length, n - 1);
        for (; next <= hi; ++next) {
            while (tail > head && x[static_cast<std::size_t>(queue[tail - 1])] >=
                                      x[static_cast<std::size_t>(next)]) {
                --tail;
            }
            queue[tail++] = next;
        }
        while (queue[head] < lo) {
            ++head;
        }
        out[static_cast<std::size_t>(i)] = x[static_cast<std::size_t>(queue[head])];
    }
}

// How much the band powers of the profile's frames wander from frame to frame, over what noise
// that is steady would show: the variance of their logarithm times the band's width in bins,
// the median over the bands of 500 Hz to 4.5 kHz (where voices are). Gaussian noise of any
// colour gives about 1.3 (the window makes neighbouring bins alike, so a band of B bins has
// fewer than B independent values); a crowd or a babble of voices, whose quiet frames still
// hold syllables, far more.
float fluctuationOf(std::span<const float> power, std::int64_t steps,
                    std::span<const std::int64_t> edges, double sampleRate, std::int64_t hop,
                    std::span<const std::int64_t> profileFrames) {
    const auto bands = static_cast<std::int64_t>(edges.size()) - 1;
    const double binHz = sampleRate / static_cast<double>(kFrame);
    std::vector<double> spread;
    for (std::int64_t b = 0; b < bands; ++b) {
        const double lo = static_cast<double>(edges[static_cast<std::size_t>(b)]) * binHz;
        const double hi = static_cast<double>(edges[static_cast<std::size_t>(b + 1)]) * binHz;
        if (lo < kVoiceLowHz || hi > kVoiceHighHz) {
            continue;
        }
        double sum = 0.0;
        double squares = 0.0;
        for (const std::int64_t f : profileFrames) {
            const std::int64_t step =
                std::clamp<std::int64_t>((f * Cleaner::kHop + hop / 2) / hop, 0, steps - 1);
            const double l = std::log(std::max(
                1e-30, static_cast<double>(power[static_cast<std::size_t>(b * steps + step)])));
            sum += l;
            squares += l * l;
        }
        const auto count = static_cast<double>(profileFrames.size());
        const double variance = std::max(0.0, squares / count - (sum / count) * (sum / count));
        spread.push_back(variance * static_cast<double>(edges[static_cast<std::size_t>(b + 1)] -
                                                        edges[static_cast<std::size_t>(b)]));
    }
    if (spread.empty() || profileFrames.size() < 2) {
        return 0.0f;
    }
    const auto middle = spread.begin() + static_cast<std::ptrdiff_t>(spread.size() / 2);
    std::nth_element(spread.begin(), middle, spread.end());
    return static_cast<float>(*middle);
}

} // namespace

std::vector<std::int64_t> NoiseTrack::bandEdges(double sampleRate) {
    requirePrecondition(std::isfinite(sampleRate) && sampleRate > 0.0,
                        "NoiseTrack needs a positive, finite sample rate");
    const double binHz = sampleRate / static_cast<double>(kFrame);
    std::vector<std::int64_t> edges{0};
    for (const double hz : kEdgesHz) {
        const auto bin = static_cast<std::int64_t>(std::llround(hz / binHz));
        if (bin >= kNyquist - 1) {
            break;
        }
        if (bin - edges.back() >= 2) {
            edges.push_back(bin);
        }
    }
    if (kBins - edges.back() < 2 && edges.size() > 1) {
        edges.pop_back();
    }
    edges.push_back(kBins);
    return edges;
}

std::int64_t NoiseTrack::analysisHop(double sampleRate) {
    return Cleaner::kHop *
           std::max<std::int64_t>(1, std::llround(kHopSeconds * sampleRate / Cleaner::kHop));
}

NoiseTrack::Bands::Bands(double sampleRate) : edges_(bandEdges(sampleRate)) {
    const std::int64_t bands = count();
    // Each bin takes its value from the two band centres around it.
    lowerBand_.resize(kBins);
    upperWeight_.resize(kBins);
    std::vector<double> centre(static_cast<std::size_t>(bands));
    for (std::int64_t b = 0; b < bands; ++b) {
        centre[static_cast<std::size_t>(b)] =
            0.5 * static_cast<double>(edges_[static_cast<std::size_t>(b)] +
                                      edges_[static_cast<std::size_t>(b + 1)] - 1);
    }
    for (std::int64_t k = 0; k < kBins; ++k) {
        std::int64_t b = 0;
        while (b + 1 < bands && centre[static_cast<std::size_t>(b + 1)] <= static_cast<double>(k)) {
            ++b;
        }
        double weight = 0.0;
        if (b + 1 < bands && static_cast<double>(k) > centre[static_cast<std::size_t>(b)]) {
            weight =
                (static_cast<double>(k) - centre[static_cast<std::size_t>(b)]) /
                (centre[static_cast<std::size_t>(b + 1)] - centre[static_cast<std::size_t>(b)]);
        }
        lowerBand_[static_cast<std::size_t>(k)] = static_cast<std::int32_t>(b);
        upperWeight_[static_cast<std::size_t>(k)] = static_cast<float>(weight);
    }
}

void NoiseTrack::Bands::powers(const float* re, const float* im, float* out,
                               std::int64_t stride) const noexcept {
    const std::int64_t bands = count();
    for (std::int64_t b = 0; b < bands; ++b) {
        float sum = 0.0f;
        for (std::int64_t k = edges_[static_cast<std::size_t>(b)];
             k < edges_[static_cast<std::size_t>(b + 1)]; ++k) {
            sum += k == kNyquist ? im[0] * im[0]
                                 : (k == 0 ? re[0] * re[0] : re[k] * re[k] + im[k] * im[k]);
        }
        out[b * stride] = sum;
    }
}

void NoiseTrack::Bands::spread(const float* perBand, std::span<const float> profile,
                               std::span<float> out) const noexcept {
    for (std::int64_t k = 0; k < kBins; ++k) {
        const auto b = static_cast<std::size_t>(lowerBand_[static_cast<std::size_t>(k)]);
        const float u = upperWeight_[static_cast<std::size_t>(k)];
        const float r = u > 0.0f ? perBand[b] + (perBand[b + 1] - perBand[b]) * u : perBand[b];
        out[static_cast<std::size_t>(k)] = profile[static_cast<std::size_t>(k)] * r;
    }
}

NoiseTrack NoiseTrack::measure(std::span<const float> channel, double sampleRate,
                               std::span<const std::int64_t> profileFrames) {
    NoiseTrack track;
    const auto n = static_cast<std::int64_t>(channel.size());
    if (n < kFrame || profileFrames.empty()) {
        return track;
    }
    Bands layout(sampleRate);
    const std::span<const std::int64_t> edges = layout.edges();
    const std::int64_t bands = layout.count();
    const std::int64_t hop = analysisHop(sampleRate);
    const std::int64_t steps = (n - kFrame) / hop + 1;
    const double hopSeconds = static_cast<double>(hop) / sampleRate;

    // Band powers of every analysis frame, band-major (one band's steps contiguous).
    std::vector<float> power(static_cast<std::size_t>(steps * bands));
    {
        const auto& w = Cleaner::window();
        RealFFT fft(kFrame);
        for (std::int64_t j = 0; j < steps; ++j) {
            const float* x = channel.data() + j * hop;
            float* frame = fft.frameBuffer();
            for (std::int64_t i = 0; i < kFrame; ++i) {
                frame[i] = x[i] * w[static_cast<std::size_t>(i)];
            }
            fft.forward(frame);
            layout.powers(fft.re(), fft.im(), power.data() + j, steps);
        }
    }

    track.fluctuation_ = fluctuationOf(power, steps, edges, sampleRate, hop, profileFrames);
    // Smoothing forwards and backwards (no delay), then the floor: the minimum within the window.
    const double a = smoothingFactor(hopSeconds);
    const auto before = static_cast<std::int64_t>(std::llround(kBeforeSeconds / hopSeconds));
    const auto after = static_cast<std::int64_t>(std::llround(kAfterSeconds / hopSeconds));
    std::vector<float> floor(static_cast<std::size_t>(steps));
    std::vector<std::int64_t> queue(static_cast<std::size_t>(steps));
    std::vector<float> reference(static_cast<std::size_t>(profileFrames.size()));
    const float deadZone = static_cast<float>(std::pow(10.0, kDeadZoneDb / 10.0));
    track.raise_.assign(static_cast<std::size_t>(steps * bands), 1.0f);
    // How many bands sit near their floor at each step: the track's own noise frames.
    std::vector<std::int32_t> atFloor(static_cast<std::size_t>(steps), 0);
    for (std::int64_t b = 0; b < bands; ++b) {
        std::span<float> p(power.data() + b * steps, static_cast<std::size_t>(steps));
        double s = p[0];
        for (float& v : p) {
            s = smoothStep(s, v, a);
            v = static_cast<float>(s);
        }
        for (auto v = p.rbegin(); v != p.rend(); ++v) {
            s = smoothStep(s, *v, a);
            *v = static_cast<float>(s);
        }
        slidingMinimum(p, before, after, floor, queue);
        for (std::int64_t j = 0; j < steps; ++j) {
            atFloor[static_cast<std::size_t>(j)] +=
                nearFloor(p[static_cast<std::size_t>(j)], floor[static_cast<std::size_t>(j)]);
        }
        // The reference: the floor's median over the profile's frames (their centres' steps).
        for (std::size_t i = 0; i < profileFrames.size(); ++i) {
            const std::int64_t step = std::clamp<std::int64_t>(
                (profileFrames[i] * Cleaner::kHop + hop / 2) / hop, 0, steps - 1);
            reference[i] = floor[static_cast<std::size_t>(step)];
        }
        const auto middle = reference.begin() + static_cast<std::ptrdiff_t>(reference.size() / 2);
        std::nth_element(reference.begin(), middle, reference.end());
        const float limit = *middle * deadZone;
        if (!(limit > 0.0f)) {
            continue; // a band with no power in the quiet frames: nothing to compare with
        }
        for (std::int64_t j = 0; j < steps; ++j) {
            const float ratio = floor[static_cast<std::size_t>(j)] / limit;
            track.raise_[static_cast<std::size_t>(j * bands + b)] =
                ratio > 1.0f ? std::min(ratio, kLargestRaise) : 1.0f;
        }
    }

    // The frames a raise was taken from: raised, and most bands near their floor.
    for (std::int64_t j = 0; j < steps; ++j) {
        const float* r = track.raise_.data() + j * bands;
        if (isNoiseFrame(atFloor[static_cast<std::size_t>(j)], bands) &&
            std::any_of(r, r + bands, [](float v) { return v > 1.0f; })) {
            track.followed_.push_back(j * hop);
        }
    }
    track.hop_ = hop;
    track.bands_ = std::move(layout);
    return track;
}

void NoiseTrack::noiseAt(std::int64_t start, std::span<const float> profile,
                         std::span<float> out) const noexcept {
    if (empty()) {
        std::copy_n(profile.begin(), kBins, out.begin());
        return;
    }
    // The two analysis steps around the frame's start, and how far it is from the first.
    const std::int64_t last = steps() - 1;
    const std::int64_t at = std::clamp<std::int64_t>(start, 0, last * hop_);
    const std::int64_t j = std::min(at / hop_, last);
    const std::int64_t j1 = std::min(j + 1, last);
    const float t = static_cast<float>(at - j * hop_) / static_cast<float>(hop_);
    std::array<float, Bands::kMost> raise{};
    const std::int64_t bands = bands_.count();
    const float* r0 = raise_.data() + j * bands;
    const float* r1 = raise_.data() + j1 * bands;
    bool raised = false;
    for (std::int64_t b = 0; b < bands; ++b) {
        raise[static_cast<std::size_t>(b)] = r0[b] + (r1[b] - r0[b]) * t;
        raised = raised || r0[b] != 1.0f || r1[b] != 1.0f;
    }
    // Steady noise, most of the time: the profile as it is.
    if (!raised) {
        std::copy_n(profile.begin(), kBins, out.begin());
        return;
    }
    bands_.spread(raise.data(), profile, out);
}

float NoiseTrack::depthFor(float fluctuation) noexcept {
    constexpr float lo = kSteadyFluctuation;
    constexpr float hi = kBabbleFluctuation;
    constexpr float dmin = kShallowest;
    if (!(fluctuation > lo)) {
        return 1.0f;
    }
    if (fluctuation >= hi) {
        return dmin;
    }
    // Between the two on a log scale (the fluctuation spans a decade from steady noise to
    // babble), falling fast at first: a crowd is already mostly voices.
    const float t = std::log(fluctuation / lo) / std::log(hi / lo);
    return 1.0f + (dmin - 1.0f) * std::sqrt(t);
}

float NoiseTrack::largestRaise() const noexcept {
    return raise_.empty() ? 1.0f : *std::max_element(raise_.begin(), raise_.end());
}

} // namespace taln
