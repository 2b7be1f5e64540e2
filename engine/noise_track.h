#pragma once

// NoiseTrack: how one channel's noise rises above its profile over time, so that the cleaner
// follows noise that drifts (a fan switched on halfway, traffic swelling) instead of using one
// profile for the whole recording.
//
// The profile (Cleaner::estimateNoise) is the mean spectrum of the channel's quietest tenth of
// frames. The track measures, in about 25 bands, the floor of the band power around every moment:
// the power smoothed over kSmoothSeconds, then its minimum over a window from kBeforeSeconds
// before to kAfterSeconds after (minimum statistics: a pause of a few tenths of a second anywhere
// in the window is enough for the noise to show through the speech). The same floor measured around
// the profile's own frames is the reference, so the floor's bias below the mean cancels: where the
// floor is no higher than the reference (steady noise) the profile is used as it is; where it is
// higher by more than kDeadZoneDb, the profile is raised by the excess, band by band, interpolated
// between the bands' centres and linearly in time. The noise never goes below the profile.
//
// The track is a function of the whole channel: any piece of it looks the same frame up and gets
// the same noise, wherever the piece starts. LiveNoiseTrack is its causal twin for the real-time
// cleaner: the same Bands, hop, smoothing step and floor rule, with a window that ends at the
// current frame and an absolute level instead of the reference from the whole file.
//
// Units: samples of one channel at `sampleRate` Hz; frame starts are channel sample indices
// (negative for the cleaner's frames that begin before the channel); bin powers in RealFFT's
// forward scale. Frequencies in Hz and times in seconds, so any rate from 8 kHz to 192 kHz works.
// The analysis hop is a multiple of 512 samples of about 40 ms (512 at 8 and 16 kHz, 1536 at
// 44.1 kHz, 2048 at 48 kHz, 7680 at 192 kHz): one FFT per hop, one float per band per hop kept.
//
// Thread: measure from any thread, several at once; a measured track is read-only and may be read
// from any number of threads. Allocation: measure allocates; noiseAt allocates nothing.

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace taln {

class NoiseTrack {
public:
    // The power is smoothed over this time constant before its floor is taken.
    static constexpr double kSmoothSeconds = 0.04;
    // The floor at a moment is the smoothed power's minimum from this long before it to this
    // long after. A rise is followed kBeforeSeconds late (a minimum reaches back to the quiet
    // before it) and a fall kAfterSeconds early; the whole window must hold a pause. On the
    // quality benchmark's quick third (two speakers, 0, 10 and 20 dB SNR) a window of ±1 s took the
    // loud part's pauses of drifting noise down by 21 dB but cost steady noise 0.06 PESQ-WB (a
    // profile raised inside speech); ±1.5 s took them down by 17 dB (12 asked) at no cost on steady
    // noise. The same 3 s from 0.5 s before to 2.5 s after follows a rise 1 s sooner: the loud part
    // of a step went from −16 to −18 dB and its PESQ-WB from 1.78 to 1.88, steady noise unchanged.
    static constexpr double kBeforeSeconds = 0.5;
    static constexpr double kAfterSeconds = 2.5;
    // Excesses of the floor over the reference up to this are estimation noise on steady noise.
    static constexpr double kDeadZoneDb = 2.0;
    // The analysis hop aims at this many seconds.
    static constexpr double kHopSeconds = 0.04;
    // A band whose smoothed power is within this factor (2 dB) of its floor holds noise alone
    // there; a frame where at least half the bands do is a frame of noise (isNoiseFrame).
    static constexpr float kNearFloor = 1.585f;

    // The analysis hop at `sampleRate`: the multiple of Cleaner::kHop nearest kHopSeconds.
    static std::int64_t analysisHop(double sampleRate);
    // The smoothing's factor for a hop of `hopSeconds`, and one step of it: the smoothed power
    // after `previous` takes in the band power `power`.
    static double smoothingFactor(double hopSeconds) {
        return std::exp(-hopSeconds / kSmoothSeconds);
    }
    static double smoothStep(double previous, float power, double factor) {
        return factor * previous + (1.0 - factor) * power;
    }
    static bool nearFloor(float smoothed, float floor) { return smoothed <= kNearFloor * floor; }
    static bool isNoiseFrame(std::int64_t bandsNearFloor, std::int64_t bands) {
        return 2 * bandsNearFloor >= bands;
    }

    // The band layout at one rate: band b covers bins [edges[b], edges[b + 1]), about a third of
    // an octave wide above 500 Hz and 100 Hz below, each at least 2 bins; a value per band spreads
    // over the bins linearly between the bands' centres. Allocates on construction only.
    class Bands {
    public:
        static constexpr std::size_t kMost = 30;

        Bands() = default;
        explicit Bands(double sampleRate);

        std::int64_t count() const noexcept {
            return edges_.empty() ? 0 : static_cast<std::int64_t>(edges_.size()) - 1;
        }
        std::span<const std::int64_t> edges() const noexcept { return edges_; }

        // The band powers of the packed spectrum `re`/`im` (RealFFT layout): band b's into
        // out[b · stride].
        void powers(const float* re, const float* im, float* out,
                    std::int64_t stride = 1) const noexcept;

        // out[k] = profile[k] times `perBand` (count() values) at bin k: at a band's centre its
        // own value, between two centres the line between theirs. 1025 values each.
        void spread(const float* perBand, std::span<const float> profile,
                    std::span<float> out) const noexcept;

    private:
        std::vector<std::int64_t> edges_;
        // For each bin: the band centre at or below it and the weight of the next one.
        std::vector<std::int32_t> lowerBand_;
        std::vector<float> upperWeight_;
    };

    // No track: noiseAt gives the profile unchanged.
    NoiseTrack() = default;

    // The track of a whole channel whose profile averaged the frames `profileFrames` (frame f
    // starting at sample 512·f, as Cleaner::NoiseEstimate::frames). Empty when there are no such
    // frames or the channel is shorter than a frame.
    static NoiseTrack measure(std::span<const float> channel, double sampleRate,
                              std::span<const std::int64_t> profileFrames);

    bool empty() const noexcept { return raise_.empty(); }

    // The noise of the 2048-sample frame starting at channel sample `start`: `profile` (1025 bin
    // powers) raised as the track says, into `out` (1025 values). Any thread.
    void noiseAt(std::int64_t start, std::span<const float> profile,
                 std::span<float> out) const noexcept;

    // How unsteady the noise is (see fluctuationOf in noise_track.cpp): about 1.3 for Gaussian
    // noise of any colour. 0 for no track.
    float fluctuation() const noexcept { return fluctuation_; }

    // How deep the cleaner may go for this noise, 0 … 1: 1 for steady noise, down to
    // kShallowest for a babble of voices, where taking the noise out takes the voice with it.
    // Measured fluctuations (four speakers, 0-20 dB SNR): white, pink, fan and stepping or rising
    // noise 1.1-2.4, brown and hum 1.5-4.2, a market crowd 8-15, a babble of eight talkers 22-52.
    // From 4.5 (above the steady noises) the depth falls with the square root of the position on
    // a log scale, to kShallowest at 16 (below the babbles): for the crowd, about 0.25. On the
    // benchmark's quick third (0-20 dB SNR), against a linear fall from 4 to a floor of 0.15:
    // babble STOI 0.868 instead of 0.864 (the input's 0.868), the crowd's 0.976 (input 0.976),
    // at a cost of PESQ-WB 2.17 instead of 2.30 on the crowd and 1.40 instead of 1.44 on babble,
    // and the crowd's pauses −12.5 dB instead of −14.7. Keeping speech whole comes first there.
    static constexpr float kSteadyFluctuation = 4.5f;
    static constexpr float kBabbleFluctuation = 16.0f;
    static constexpr float kShallowest = 0.05f;
    float depth() const noexcept { return depthFor(fluctuation_); }
    static float depthFor(float fluctuation) noexcept;

    // The channel frames (2048 samples from each start, ascending) that a raise was measured in:
    // where the noise is above the profile and most bands are near their floor. With the
    // profile's own frames, they are the frames the cleaner's noise comes from.
    const std::vector<std::int64_t>& followedFrames() const noexcept { return followed_; }

    // The largest raise over the channel, as a power ratio (1 when the noise never rose).
    float largestRaise() const noexcept;

    // Band edges in bins for `sampleRate` (Bands::edges).
    static std::vector<std::int64_t> bandEdges(double sampleRate);

private:
    // Analysis steps kept (the frame starting at hop_·step).
    std::int64_t steps() const noexcept {
        return bands_.count() > 0 ? static_cast<std::int64_t>(raise_.size()) / bands_.count() : 0;
    }
    std::int64_t hop_ = 0;
    float fluctuation_ = 0.0f;
    std::vector<std::int64_t> followed_;
    Bands bands_;
    // steps × bands raises (power ratios, at least 1).
    std::vector<float> raise_;
};

} // namespace taln
