#include "engine/hum_detector.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace taln {

namespace {

constexpr std::int64_t kFrame = Cleaner::kFrameLength;
constexpr std::int64_t kHop = Cleaner::kHop;

// Averaged frames this close or closer (8 hops at 44.1 kHz, 93 ms) make one stretch: where the
// pauses all hold the same noise, the quietest tenth picks frames scattered through them, and
// what can lie between two such frames is too short for a syllable. In seconds, so that a
// stretch means the same at every rate (8 hops at 96 kHz split the pauses of 12 s of speech into
// one stretch long enough to measure, against 9 at 44.1 kHz).
constexpr double kBridgeSeconds = 8.0 * 512.0 / 44100.0;

// The shortest stretch measured on its own is half a segment: 8192 samples put the Hann
// window's first zero 10.8 Hz from its centre at 44.1 kHz, so a 50 Hz line shows at 60 Hz some
// 30 dB down and the two series stay apart.

// Long stretches are cut into segments overlapping by half (Welch's method with a Hann window);
// at most this many segments are measured, spread evenly over the sample, so that an hour-long
// recording costs no more than a short one (32 segments: about 0.1 s a channel).
constexpr std::size_t kMaxSegments = 32;

// Neighbours at ±2.5, 3, 3.5 and 4 bins of a segment (±6.7 ... 10.8 Hz at 44.1 kHz for 16,384
// samples, twice that for 8,192): outside the Hann main lobe (±2 bins) of the candidate.
// The median of the eight ignores one neighbour that falls on the other series' line (50 and
// 60 Hz, 240 and 250 Hz, 350 and 360 Hz are 10 Hz apart).
constexpr std::array<double, 8> kNeighbourBins = {-4.0, -3.5, -3.0, -2.5, 2.5, 3.0, 3.5, 4.0};

// Notches are designed only below 0.45·sr; nothing to detect above.
constexpr double kHighestShare = 0.45;

// The rule, from bench/engine/hum_levels (20 s of synthetic speech with pauses over white noise
// at -60 dBFS, pink at -45 or brown at -40; 2 to 32 segments measured):
// - Noise alone (white, pink, brown at -60, -40, -30 dBFS): -4 ... +4 dB at the candidates, and
//   -3 ... +3 dB at 50 and 60 Hz.
// - A voice held on 100, 200 or 300 Hz in the pauses (vibrato 0 ... 3 %): up to 21 dB at its
//   harmonics; a steady instrument there: up to 35 dB, as high as hum; a fan's 175 Hz blade
//   tone: 25 dB at its second harmonic, 350 Hz. At 50 and 60 Hz all of them: -4 ... +4 dB over
//   8 or more segments, up to 7 dB over 2 (an instrument on 300 Hz).
// - Mains hum at 50 or 60 Hz, -40 / -50 / -60 / -70 dBFS: over white noise at -60 dBFS 45 / 43 /
//   36 / 26 ... 29 dB; over pink noise at -45 dBFS 23 ... 26 / 13 ... 15 / 6 / 1 ... 2 dB; over
//   brown noise at -40 dBFS 14 ... 18 / 4 ... 8 / 1 ... 2 / 0 dB (a hum 15 dB or more below the
//   noise is lost in it, and the spectral stage takes it for noise). Its harmonics (0.7, 0.5, ...
//   of the fundamental) stand up to 45 dB out.
// So a series counts only when its fundamental stands out (nothing else measured puts a line at
// 50 or 60 Hz), by more than 5 dB; then each of its harmonics counts above 8 dB. A buzz at 100
// or 120 Hz without its fundamental is left to the spectral stage.
constexpr float kFundamentalDb = 5.0f;
constexpr float kHarmonicDb = 8.0f;
// Averages of fewer segments scatter more. For noise alone (exponentially distributed segment
// powers, simulated) a candidate exceeds its neighbours' median by 5 dB with a chance of 14 % in
// one segment, 2 % in three, 0.04 % in eight; by 10 dB, 1 % in one and 0.03 % in two; by 15 dB,
// 0.02 % in one. Below eight segments the thresholds rise by 5 dB, below three by 10 dB.
constexpr int kEnoughSegments = 8;
constexpr int kFewSegments = 3;
constexpr float kRaiseDb = 5.0f;

constexpr int kShared50 = 5;  // 300 Hz in the 50 Hz series
constexpr int kShared60 = 12; // 300 Hz in the 60 Hz series

// Powers of the windowed segment `x` at the nine frequencies `hz` (Goertzel), in any scale
// common to all frequencies. The nine recurrences run side by side: each one alone would wait on
// its own previous step. Inlined into two callers below, compiled for any x86-64 and for AVX2
// (four of the nine recurrences a step); the processor is checked once at the first call, as
// for the engine's other kernels (a resolver run while the program loads would run before the
// sanitizers' runtime is ready).
[[gnu::always_inline]] inline std::array<double, 9>
goertzelBank(const std::vector<double>& x, const std::array<double, 9>& hz, double sampleRate) {
    std::array<double, 9> c{};
    std::array<double, 9> s1{};
    std::array<double, 9> s2{};
    for (std::size_t k = 0; k < hz.size(); ++k) {
        c[k] = 2.0 * std::cos(2.0 * std::numbers::pi * hz[k] / sampleRate);
    }
    for (const double v : x) {
        for (std::size_t k = 0; k < hz.size(); ++k) {
            const double s = v + c[k] * s1[k] - s2[k];
            s2[k] = s1[k];
            s1[k] = s;
        }
    }
    std::array<double, 9> power{};
    for (std::size_t k = 0; k < hz.size(); ++k) {
        power[k] = s1[k] * s1[k] + s2[k] * s2[k] - c[k] * s1[k] * s2[k];
    }
    return power;
}

std::array<double, 9> powersAtBaseline(const std::vector<double>& x,
                                       const std::array<double, 9>& hz, double sampleRate) {
    return goertzelBank(x, hz, sampleRate);
}

__attribute__((target("avx2"))) std::array<double, 9>
powersAtAvx2(const std::vector<double>& x, const std::array<double, 9>& hz, double sampleRate) {
    return goertzelBank(x, hz, sampleRate);
}

std::array<double, 9> powersAt(const std::vector<double>& x, const std::array<double, 9>& hz,
                               double sampleRate) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 ? powersAtAvx2(x, hz, sampleRate) : powersAtBaseline(x, hz, sampleRate);
}

// The Hann window of `length` samples.
std::vector<double> hannOf(std::int64_t length) {
    std::vector<double> w(static_cast<std::size_t>(length));
    const auto m = static_cast<double>(length);
    for (std::size_t i = 0; i < w.size(); ++i) {
        w[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / m);
    }
    return w;
}

// The window of a whole segment at 44.1 or 48 kHz, worked out once: its cosines cost a fifth of
// the detection when every segment computed them again (shorter segments, one per short pause,
// still do; other rates work it out once per call).
const std::vector<double>& hannOfSegment() {
    static const std::vector<double> window = hannOf(HumDetector::kSegment);
    return window;
}

struct Segment {
    std::int64_t start;
    std::int64_t length;
};

// The segments measured over the stretches the frames cover: a stretch of at least `length`
// samples (a whole segment at the rate) is cut into segments of that length overlapping by half;
// one of half that length or more is one segment of its own. Shorter stretches, where a
// recording has no real pause, are measured only when there is nothing longer: in the whole
// segment centred on each (at the price of what sounds around it).
std::vector<Segment> segmentsOf(std::int64_t n, std::span<const std::int64_t> frames,
                                std::int64_t length, double sampleRate) {
    const std::int64_t shortest = length / 2;
    const std::int64_t bridgeHops =
        std::max<std::int64_t>(1, std::lround(kBridgeSeconds * sampleRate / double(kHop)));
    std::vector<std::int64_t> sorted;
    for (const std::int64_t f : frames) {
        if (f >= 0 && f <= (n - kFrame) / kHop) {
            sorted.push_back(f);
        }
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<Segment> segments;
    std::vector<Segment> widened;
    std::size_t i = 0;
    while (i < sorted.size()) {
        std::size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] - sorted[j] <= bridgeHops) {
            ++j;
        }
        const std::int64_t begin = sorted[i] * kHop;
        const std::int64_t end = sorted[j] * kHop + kFrame;
        i = j + 1;
        if (end - begin >= length) {
            for (std::int64_t at = begin; at + length <= end; at += length / 2) {
                segments.push_back({at, length});
            }
        } else if (end - begin >= shortest) {
            segments.push_back({begin, end - begin});
        } else if (n >= length) {
            const std::int64_t centred = (begin + end) / 2 - length / 2;
            const std::int64_t at = std::clamp<std::int64_t>(centred, 0, n - length);
            if (widened.empty() || widened.back().start != at) {
                widened.push_back({at, length});
            }
        }
    }
    if (segments.empty()) {
        segments = std::move(widened);
    }
    if (segments.size() > kMaxSegments) {
        std::vector<Segment> picked(kMaxSegments);
        for (std::size_t k = 0; k < kMaxSegments; ++k) {
            picked[k] = segments[k * segments.size() / kMaxSegments];
        }
        segments = std::move(picked);
    }
    return segments;
}

} // namespace

std::int64_t HumDetector::segmentLength(double sampleRate) noexcept {
    const double scaled = static_cast<double>(kSegment) * sampleRate / 44100.0;
    if (!(scaled > 0.0)) {
        return kSegment;
    }
    const long power = std::clamp(std::lround(std::log2(scaled)), 12L, 16L);
    return std::int64_t{1} << power;
}

double HumDetector::candidateHz(int i) noexcept {
    return i < 8 ? 50.0 * (i + 1) : 60.0 * (i - 7);
}

HumDetector::Levels HumDetector::lineLevels(std::span<const float> samples,
                                            std::span<const std::int64_t> frames,
                                            double sampleRate) {
    Levels result;
    std::array<float, kCandidates>& levels = result.db;
    const auto n = static_cast<std::int64_t>(samples.size());
    if (!(sampleRate > 0.0)) {
        return result;
    }
    const std::int64_t segmentLength = HumDetector::segmentLength(sampleRate);
    if (n < segmentLength / 2) {
        return result;
    }
    const std::vector<Segment> segments = segmentsOf(n, frames, segmentLength, sampleRate);
    result.segments = static_cast<int>(segments.size());
    std::array<double, kCandidates> line{};
    std::array<std::array<double, kNeighbourBins.size()>, kCandidates> around{};
    std::vector<double> x;
    x.reserve(static_cast<std::size_t>(segmentLength));
    const std::vector<double> otherRate =
        segmentLength == kSegment ? std::vector<double>() : hannOf(segmentLength);
    const std::vector<double>& whole = segmentLength == kSegment ? hannOfSegment() : otherRate;
    for (const Segment& segment : segments) {
        const auto m = static_cast<double>(segment.length);
        const std::vector<double> shorter =
            segment.length == segmentLength ? std::vector<double>() : hannOf(segment.length);
        const std::vector<double>& hann = segment.length == segmentLength ? whole : shorter;
        x.resize(static_cast<std::size_t>(segment.length));
        for (std::int64_t i = 0; i < segment.length; ++i) {
            const float v = samples[static_cast<std::size_t>(segment.start + i)];
            x[static_cast<std::size_t>(i)] =
                std::isfinite(v) ? hann[static_cast<std::size_t>(i)] * v : 0.0;
        }
        // Neighbours in this segment's own bins; powers per sample, so that segments of
        // different lengths weigh alike.
        const double bin = sampleRate / m;
        for (int c = 0; c < kCandidates; ++c) {
            const double hz = candidateHz(c);
            if (hz >= kHighestShare * sampleRate) {
                continue;
            }
            std::array<double, 9> at{};
            at[0] = hz;
            for (std::size_t k = 0; k < kNeighbourBins.size(); ++k) {
                at[k + 1] = hz + kNeighbourBins[k] * bin;
            }
            const std::array<double, 9> power = powersAt(x, at, sampleRate);
            line[c] += power[0] / m;
            for (std::size_t k = 0; k < kNeighbourBins.size(); ++k) {
                around[c][k] += power[k + 1] / m;
            }
        }
    }
    for (int c = 0; c < kCandidates; ++c) {
        std::sort(around[c].begin(), around[c].end());
        // The median of eight: the mean of the middle two.
        const double neighbourhood = 0.5 * (around[c][3] + around[c][4]);
        if (line[c] > 0.0 && neighbourhood > 0.0) {
            levels[c] = static_cast<float>(10.0 * std::log10(line[c] / neighbourhood));
        }
    }
    return result;
}

Cleaner::HumMask HumDetector::detect(std::span<const float> samples,
                                     std::span<const std::int64_t> frames, double sampleRate) {
    const Levels levels = lineLevels(samples, frames, sampleRate);
    const float raise = levels.segments < kFewSegments      ? 2.0f * kRaiseDb
                        : levels.segments < kEnoughSegments ? kRaiseDb
                                                            : 0.0f;
    unsigned found = 0;
    for (const int first : {0, 8}) {
        if (!(levels.db[first] > kFundamentalDb + raise)) {
            continue;
        }
        found |= 1u << first;
        for (int c = first + 1; c < first + 8; ++c) {
            if (levels.db[c] > kHarmonicDb + raise) {
                found |= 1u << c;
            }
        }
    }
    // 300 Hz once: a second identical notch would only deepen and widen the first.
    if ((found & (1u << kShared50)) != 0 && (found & (1u << kShared60)) != 0) {
        found &= ~(1u << kShared60);
    }
    return static_cast<Cleaner::HumMask>(found);
}

std::vector<int> HumDetector::mainsHz(Cleaner::HumMask found) {
    const unsigned mask = found;
    const bool shared = (mask & ((1u << kShared50) | (1u << kShared60))) != 0;
    const bool series50 = (mask & 0x00FFu & ~(1u << kShared50)) != 0;
    const bool series60 = (mask & 0xFF00u & ~(1u << kShared60)) != 0;
    std::vector<int> hz;
    if (series50) {
        hz.push_back(50);
    }
    if (series60) {
        hz.push_back(60);
    }
    if (hz.empty() && shared) {
        hz.push_back(300);
    }
    return hz;
}

} // namespace taln
