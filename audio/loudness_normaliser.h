#pragma once

// Loudness::Normaliser: a Plan's gain and its true-peak look-ahead limiter, applied to audio
// handed over in order, in stretches of any length, as a writer writes it.
//
// The true peak is estimated per gap between two samples as TruePeak says, the loudest
// channel's. The filter can lift a peak by up to 2.49 times (7.9 dB) the largest sample around
// it: where even that stays under the threshold in the 64-frame stretches around a gap, no
// interpolation is needed, nor for a channel whose samples around the stretch span a range
// narrow enough (see rangeBound); elsewhere the 64 gaps of a stretch are interpolated at once.
// Where no gap of a stretch reaches the threshold and the limiter is at rest, the stretch is
// only multiplied by the gain.
// The gain curve g never lets g × peak exceed the threshold: req[n] = min(1, threshold /
// (gain × peak[n])) is the most gain allowed at gap n; hold[m] = min(req[m ... m+L-1]) looks L
// frames (kLookAheadSeconds) ahead; a release follows hold downwards at once and recovers
// with kReleaseSeconds; the applied gain at n is the mean of the released curve over
// n-L+1 ... n, every term of which is at most req[n] because each hold window there covers n.
// The same gain goes to every channel, so the image stays put. No sample is ever clipped.
//
// Latency: what comes out lags what goes in by L + 16 frames (the look-ahead and the
// interpolation's taps after the gap); finish() hands over the rest, the audio after the end
// taken as silence.
// Memory: the frames held back and a few hundred bytes per channel beyond; buffers grow to
// the longest stretch handed in and are then reused.
// One thread at a time; the sink is called on it.

#include "audio/loudness.h"
#include "audio/true_peak.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

namespace taln::Loudness {

class Normaliser {
public:
    // Receives the normalised audio: channels[c] points at channel c's samples.
    using Sink = std::function<void(std::span<const float* const> channels, std::int64_t frames)>;

    Normaliser(const Plan& plan, int channelCount, int sampleRate);

    // The next `frames` frames; hands the sink every frame that no longer waits on later ones.
    void process(std::span<const float* const> channels, std::int64_t frames, const Sink& sink);

    // Hands the sink the frames still held back. Call once, after the last process().
    void finish(const Sink& sink);

private:
    void run(std::int64_t until, const Sink& sink);
    bool restsThrough(std::int64_t last);
    bool quiet(std::int64_t tile);
    bool interpolated(std::int64_t tile);
    double allowed(std::int64_t gap);
    float tileBound(std::int64_t tile) const;
    float rangeBound(const float* x) const;
    const float* at(int channel, std::int64_t frame) const;

    const TruePeak::Filter& filter_;
    int channelCount_;
    double gain_;
    double threshold_;
    std::int64_t lookAhead_;
    double release_;

    // Input held: frames [base_, received_) of each channel, plus zeros before frame 0 and
    // after the end once finished.
    std::vector<std::vector<float>> held_;
    std::int64_t base_ = 0;
    std::int64_t received_ = 0;
    bool ended_ = false;
    // Per 64-frame tile of the held input, from tile tileBase_ on: the largest sample, and
    // the largest interpolated peak once worked out (-1 before).
    std::vector<float> tilePeaks_;
    std::vector<float> tileTruePeaks_;
    std::int64_t tileBase_ = 0;
    // The interpolated peak of each gap from base_ on, where its tile's is worked out.
    std::vector<float> gapPeaks_;

    std::int64_t next_ = 0;    // the next frame out
    std::int64_t entered_ = 0; // the next gap to enter the look-ahead window
    std::deque<std::pair<std::int64_t, double>> window_; // sliding minimum: rising values
    std::vector<double> recent_;                         // the released curve's last L values
    double sum_ = 0.0;
    double released_ = 1.0;
    std::int64_t restingFor_ = 0; // frames the released curve has stood at 1
    bool started_ = false;
    std::vector<std::vector<float>> out_;
};

} // namespace taln::Loudness
