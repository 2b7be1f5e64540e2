#include "audio/loudness_normaliser.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace taln::Loudness {
namespace {

using TruePeak::kTaps;
using TruePeak::kTapsAfter;
using TruePeak::kTapsBefore;

// Frames handed to the sink at a time, at most.
constexpr std::int64_t kOutFrames = 65536;

// Held input is moved back to the start of its buffers once this much lies before it.
constexpr std::int64_t kCompactFrames = 65536;

// The release has recovered once it is this close to 1 (a millionth of a dB): the limiter is
// then at rest, and a quiet stretch is only multiplied by the gain.
constexpr double kRestGap = 1e-7;

double dbToGain(double db) {
    return std::pow(10.0, db / 20.0);
}

} // namespace

Normaliser::Normaliser(const Plan& plan, int channelCount, int sampleRate)
    : filter_(TruePeak::Filter::get()), channelCount_(channelCount), gain_(dbToGain(plan.gainDb)),
      threshold_(dbToGain(plan.thresholdDbtp)),
      lookAhead_(std::max<std::int64_t>(1, std::llround(kLookAheadSeconds * sampleRate))),
      release_(std::exp(-1.0 / (kReleaseSeconds * sampleRate))) {
    // Zeros before the first frame, for the taps there.
    held_.assign(static_cast<std::size_t>(channelCount), std::vector<float>(kTapsBefore + 1, 0.0f));
    out_.resize(static_cast<std::size_t>(channelCount));
    recent_.assign(static_cast<std::size_t>(lookAhead_), 1.0);
}

// Frame `frame` of channel c in the held input (frames before 0 and after the end are 0).
const float* Normaliser::at(int channel, std::int64_t frame) const {
    return held_[static_cast<std::size_t>(channel)].data() + (frame - base_ + kTapsBefore + 1);
}

float Normaliser::tileBound(std::int64_t tile) const {
    float bound = 0.0f;
    for (std::int64_t t = std::max(tile - 1, tileBase_);
         t <= tile + 1 && t - tileBase_ < static_cast<std::int64_t>(tilePeaks_.size()); ++t) {
        bound = std::max(bound, tilePeaks_[static_cast<std::size_t>(t - tileBase_)]);
    }
    return bound;
}

// Whether every gap of the tile is certainly under the threshold.
bool Normaliser::quiet(std::int64_t tile) {
    // Past the end there is nothing to limit.
    if (tile * kTileFrames >= received_ ||
        gain_ * tileBound(tile) * filter_.worstCase() <= threshold_) {
        return true;
    }
    return interpolated(tile) &&
           gain_ * tileTruePeaks_[static_cast<std::size_t>(tile - tileBase_)] <= threshold_;
}

// Works out the interpolated peaks of the tile's gaps, once every tap they need is held; false
// while some are still to come.
bool Normaliser::interpolated(std::int64_t tile) {
    float& truePeak = tileTruePeaks_[static_cast<std::size_t>(tile - tileBase_)];
    if (truePeak >= 0.0f) {
        return true;
    }
    const std::int64_t first = tile * kTileFrames;
    // Its first taps let go of when the held input was moved back, or its last still to come.
    if (first - kTapsBefore < base_ - (kTapsBefore + 1) ||
        (!ended_ && first + kTileFrames + kTaps > received_)) {
        return false;
    }
    std::array<float, kTileFrames> peaks{};
    bool filtered = false;
    for (int c = 0; c < channelCount_; ++c) {
        const float* x = at(c, first - kTapsBefore);
        // A channel whose gaps certainly stay under the threshold adds nothing that matters:
        // both uses compare the loudest channel's peak with the threshold.
        if (gain_ * rangeBound(x) > threshold_) {
            filter_.tile(x, peaks.data());
            filtered = true;
        }
    }
    truePeak = 0.0f;
    if (!filtered) {
        return true; // the tile's gap peaks stay 0, as they were made
    }
    for (std::int64_t gap = std::max(first, base_); gap < first + kTileFrames; ++gap) {
        const float peak = peaks[static_cast<std::size_t>(gap - first)];
        truePeak = std::max(truePeak, peak);
        if (gap - base_ < static_cast<std::int64_t>(gapPeaks_.size())) {
            gapPeaks_[static_cast<std::size_t>(gap - base_)] = peak;
        }
    }
    return true;
}

// A bound on the estimates of a tile's gaps, `x` pointing at its first gap's first tap. An
// estimate is sum(c[k] x[k]) = m sum(c[k]) + sum(c[k] (x[k] - m)) for any m, and the taps
// of each phase sum to 1: with m the middle of the samples' range, at most |m| + worstCase ×
// half the range, which also bounds every sample. Where the audio moves little within the
// taps (a low note near its crest) that is far under worstCase × the largest sample. The
// margin covers the rounding of the filter's float sums.
float Normaliser::rangeBound(const float* x) const {
    // Four lanes at a time (GCC's vector extension: SSE instructions).
    using Lanes = float __attribute__((vector_size(16)));
    constexpr int kLanes = 4;
    constexpr int kSpan = kTileFrames + kTaps - 1;
    Lanes lows;
    std::memcpy(&lows, x, sizeof lows);
    Lanes highs = lows;
    int i = kLanes;
    for (; i + kLanes <= kSpan; i += kLanes) {
        Lanes v;
        std::memcpy(&v, x + i, sizeof v);
        lows = v < lows ? v : lows;
        highs = v > highs ? v : highs;
    }
    float low = lows[0];
    float high = highs[0];
    for (int j = 1; j < kLanes; ++j) {
        low = std::min(low, lows[j]);
        high = std::max(high, highs[j]);
    }
    for (; i < kSpan; ++i) {
        low = std::min(low, x[i]);
        high = std::max(high, x[i]);
    }
    const double middle = (double(high) + double(low)) / 2.0;
    const double half = (double(high) - double(low)) / 2.0;
    const double bound = (std::fabs(middle) + filter_.worstCase() * half) * (1.0 + 1e-4);
    return std::isfinite(bound) ? static_cast<float>(bound)
                                : std::numeric_limits<float>::infinity();
}

// Whether every gap from the next frame out to `last` is certainly under the threshold.
bool Normaliser::restsThrough(std::int64_t last) {
    for (std::int64_t t = next_ / kTileFrames; t <= last / kTileFrames; ++t) {
        if (!quiet(t)) {
            return false;
        }
    }
    return true;
}

double Normaliser::allowed(std::int64_t gap) {
    const std::int64_t tile = gap / kTileFrames;
    if (gain_ * tileBound(tile) * filter_.worstCase() <= threshold_) {
        return 1.0;
    }
    float peak = 0.0f;
    if (interpolated(tile)) {
        peak = gapPeaks_[static_cast<std::size_t>(gap - base_)];
    } else {
        // Near the end of what is held, where the tile's last taps are still to come: this gap
        // alone, whose taps are all here.
        for (int c = 0; c < channelCount_; ++c) {
            peak = std::max(peak, filter_.gap(at(c, gap - kTapsBefore)));
        }
    }
    const double limited = gain_ * peak;
    return limited > threshold_ ? threshold_ / limited : 1.0;
}

void Normaliser::process(std::span<const float* const> channels, std::int64_t frames,
                         const Sink& sink) {
    for (int c = 0; c < channelCount_; ++c) {
        const float* source = channels[static_cast<std::size_t>(c)];
        held_[static_cast<std::size_t>(c)].insert(held_[static_cast<std::size_t>(c)].end(), source,
                                                  source + frames);
    }
    const std::int64_t first = received_;
    received_ += frames;
    const auto tiles =
        static_cast<std::size_t>((received_ + kTileFrames - 1) / kTileFrames - tileBase_);
    tilePeaks_.resize(tiles, 0.0f);
    tileTruePeaks_.resize(tiles, -1.0f);
    gapPeaks_.resize(static_cast<std::size_t>(received_ - base_), 0.0f);
    for (std::int64_t from = first; from < received_;) {
        const std::int64_t tile = from / kTileFrames;
        const std::int64_t to = std::min(received_, (tile + 1) * kTileFrames);
        float& peak = tilePeaks_[static_cast<std::size_t>(tile - tileBase_)];
        for (int c = 0; c < channelCount_; ++c) {
            peak = std::max(peak, TruePeak::largestMagnitude(at(c, from), to - from));
        }
        from = to;
    }
    run(received_ - lookAhead_ - kTapsAfter, sink);

    // What lies before the next frame's taps is no longer needed.
    const std::int64_t unneeded = next_ - base_;
    if (unneeded >= kCompactFrames) {
        for (auto& channel : held_) {
            channel.erase(channel.begin(), channel.begin() + unneeded);
        }
        gapPeaks_.erase(gapPeaks_.begin(), gapPeaks_.begin() + unneeded);
        base_ = next_;
        // The tile before the next frame's stays, for the bound of the gaps after it.
        const std::int64_t firstTile = std::max<std::int64_t>(0, next_ / kTileFrames - 1);
        if (firstTile > tileBase_) {
            tilePeaks_.erase(tilePeaks_.begin(), tilePeaks_.begin() + (firstTile - tileBase_));
            tileTruePeaks_.erase(tileTruePeaks_.begin(),
                                 tileTruePeaks_.begin() + (firstTile - tileBase_));
            tileBase_ = firstTile;
        }
    }
}

void Normaliser::finish(const Sink& sink) {
    ended_ = true;
    for (auto& channel : held_) {
        channel.resize(channel.size() + static_cast<std::size_t>(lookAhead_ + kTileFrames + kTaps),
                       0.0f);
    }
    run(received_, sink);
}

// Hands the sink frames [next_, until), in batches.
void Normaliser::run(std::int64_t until, const Sink& sink) {
    std::int64_t& n = next_;
    const std::int64_t last = ended_ ? received_ : received_ - lookAhead_ - kTapsAfter;
    until = std::min(until, last);
    // Enters gaps up to `gap` into the sliding minimum.
    const auto enter = [&](std::int64_t gap) {
        for (; entered_ <= gap && entered_ < received_; ++entered_) {
            const double value = allowed(entered_);
            while (!window_.empty() && window_.back().second >= value) {
                window_.pop_back();
            }
            window_.emplace_back(entered_, value);
        }
    };
    if (!started_ && n < until) {
        // Before the first frame the curve stands at the first window's minimum, which is at
        // most every req of that window, so the mean near the start keeps the guarantee.
        enter(lookAhead_ - 1);
        const double first = window_.empty() ? 1.0 : window_.front().second;
        std::fill(recent_.begin(), recent_.end(), first);
        sum_ = first * double(lookAhead_);
        released_ = first;
        started_ = true;
    }
    while (n < until) {
        const std::int64_t batchStart = n;
        const std::int64_t batchEnd = std::min(until, n + kOutFrames);
        for (auto& channel : out_) {
            channel.resize(static_cast<std::size_t>(batchEnd - batchStart));
        }
        while (n < batchEnd) {
            const bool resting = released_ == 1.0 && sum_ == double(lookAhead_) &&
                                 (window_.empty() || window_.front().second == 1.0);
            if (resting && n % kTileFrames == 0 && n + kTileFrames <= batchEnd &&
                restsThrough(n + kTileFrames + lookAhead_ - 1)) {
                for (int c = 0; c < channelCount_; ++c) {
                    const float* x = at(c, n);
                    float* out = out_[static_cast<std::size_t>(c)].data() + (n - batchStart);
                    for (std::int64_t i = 0; i < kTileFrames; ++i) {
                        out[i] = static_cast<float>(gain_ * x[i]);
                    }
                }
                n += kTileFrames;
                // Every gap the window holds is 1: one entry stands for them all.
                window_.clear();
                entered_ = std::max(entered_, n + lookAhead_ - 1);
                window_.emplace_back(entered_ - 1, 1.0);
                continue;
            }
            enter(n + lookAhead_ - 1);
            while (window_.front().first < n) {
                window_.pop_front();
            }
            double recovered = 1.0 - (1.0 - released_) * release_;
            recovered = 1.0 - recovered < kRestGap ? 1.0 : recovered;
            released_ = std::min(window_.front().second, recovered);
            double& slot = recent_[static_cast<std::size_t>(n % lookAhead_)];
            sum_ += released_ - slot;
            slot = released_;
            restingFor_ = released_ == 1.0 ? restingFor_ + 1 : 0;
            if (restingFor_ >= lookAhead_) {
                sum_ = double(lookAhead_); // no rounding left over once the curve is at rest
            }
            const double total = gain_ * std::min(1.0, sum_ / double(lookAhead_));
            for (int c = 0; c < channelCount_; ++c) {
                out_[static_cast<std::size_t>(c)][static_cast<std::size_t>(n - batchStart)] =
                    static_cast<float>(total * *at(c, n));
            }
            ++n;
        }
        std::array<const float*, 8> pointers{};
        for (int c = 0; c < channelCount_; ++c) {
            pointers[static_cast<std::size_t>(c)] = out_[static_cast<std::size_t>(c)].data();
        }
        sink(
            std::span<const float* const>(pointers.data(), static_cast<std::size_t>(channelCount_)),
            batchEnd - batchStart);
    }
}

} // namespace taln::Loudness
