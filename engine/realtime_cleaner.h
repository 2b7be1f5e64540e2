#pragma once

// RealtimeCleaner: Taln's adaptive engine fed block by block, for live audio (the LV2 plugin and
// taln-mic). It performs no allocation, locking or blocking in `process` and the setters; all of
// its state is sized when it is constructed.
//
// What runs: each channel through the pre-filter's high-pass (fourth-order Butterworth, corner
// 40 + 80·s Hz, as Cleaner's), then 2048-sample frames at a hop of 512 under the square-root
// Hann window, AdaptiveGain against the noise LiveNoiseTrack learns from the same frames as they
// come (nothing after the current frame is ever read), and overlap-add. Mains hum is left to the
// gains, as in the file engine; HumWatch finds it, from the noise frames heard so far, for the
// report. Two channels are linked: one noise track and one gain per frame, computed from the sum
// of the channels' bin powers and applied to both, so that the stereo image stays where it is.
//
// Latency: an output sample is the input sample from exactly kLatency samples earlier, cleaned
// (2048: 46 ms at 44.1 kHz, 43 ms at 48 kHz, 21 ms at 96 kHz), whatever the block sizes.
//
// Units: samples are 32-bit floats at `sampleRate` (any positive rate; 44.1, 48 and 96 kHz are
// the ones tested); strength is the engine's, 0 … 1 (Strength::fromPercent). A strength that is
// not above 0 passes the input through, delayed by the same latency.
//
// Threads: process, setStrength, setLearning and reset on one processing thread, one call at a
// time; progress from any thread; heardHum from one other thread.
// Memory: about 60 KB a channel, plus HumWatch's three stretches (6 s of floats each) when it
// watches for hum. reset reallocates the gain's state (it belongs with activation, not with
// processing).

#include "engine/adaptive_gain.h"
#include "engine/cleaner.h"
#include "engine/hum_watch.h"
#include "engine/live_noise_track.h"
#include "engine/real_fft.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace taln {

class RealtimeCleaner {
public:
    static constexpr int kMaxChannels = 2;
    static constexpr std::int64_t kLatency = Cleaner::kFrameLength;

    enum class Hum { ignore, watch };

    // `channels` is 1 or 2. Plans the FFT if no plan exists yet (RealFFT::prepare decides how).
    RealtimeCleaner(double sampleRate, int channels, float strength, Hum hum = Hum::ignore);
    ~RealtimeCleaner();
    RealtimeCleaner(const RealtimeCleaner&) = delete;
    RealtimeCleaner& operator=(const RealtimeCleaner&) = delete;

    double sampleRate() const noexcept { return sampleRate_; }
    int channels() const noexcept { return channels_; }
    std::int64_t latency() const noexcept { return kLatency; }

    // Processing thread. `in` and `out` hold channels() pointers to `count` samples each; a
    // channel's output may be its input (cleaned in place).
    void process(const float* const* in, float* const* out, std::int64_t count) noexcept;

    // Processing thread, between blocks: the strength from the next sample on; whether the noise
    // keeps being learned (off: the noise learned so far holds).
    void setStrength(float strength) noexcept;
    void setLearning(bool learning) noexcept;

    // Processing thread, when the stream (re)starts: forgets everything heard. Allocates.
    void reset();

    struct Progress {
        // Seconds of non-silent audio the noise was learned from.
        double heardSeconds = 0.0;
        // Whether they fill the noise floor's window (LiveNoiseTrack::settled): from then on the
        // noise is followed rather than being learned.
        bool settled = false;
        bool learning = true;
    };
    // Any thread.
    Progress progress() const noexcept;

    // One thread other than the processing one: the hum lines heard so far (HumWatch::lines);
    // kNoHum when constructed with Hum::ignore. Allocates.
    Cleaner::HumMask heardHum();

private:
    struct Channel;
    void processHop() noexcept;
    void designHighPass() noexcept;

    double sampleRate_;
    int channels_;
    float strength_;
    bool learning_ = true;
    std::vector<std::unique_ptr<Channel>> channel_;
    LiveNoiseTrack track_;
    std::optional<AdaptiveGain> gain_;
    std::unique_ptr<HumWatch> hum_;
    // The high-pass's two sections (b2 = b0), in double precision as Cleaner's pre-filter.
    std::array<std::array<double, 4>, 2> section_{};
    // The sum of the channels' bin powers, as a spectrum (square roots of the powers).
    std::vector<float> mixRe_;
    std::vector<float> mixIm_;
    std::vector<float> mono_; // the channels' mean, for HumWatch
    std::int64_t filled_ = 0; // samples of the current hop taken
    std::int64_t hops_ = 0;   // hops since reset
    // The input's sum of squares over each of the last four hops (the current frame's), and
    // over the hop being taken.
    std::array<double, Cleaner::kFrameLength / Cleaner::kHop> hopEnergy_{};
    double energy_ = 0.0;
    std::atomic<std::int64_t> heard_{0};
    std::atomic<bool> settled_{false};
    std::atomic<bool> learningShown_{true};
};

} // namespace taln
