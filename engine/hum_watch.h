#pragma once

// HumWatch: mains hum found in what a live stream has let be heard so far, for the real-time
// cleaner's report. The processing thread hands it every input sample and marks the cleaner's
// frames of noise alone; another thread asks for the hum lines, which HumDetector finds in the
// noise frames of the last full stretch of kStretchSeconds, exactly as it does in a recording's
// noise sample.
//
// The stretches are three fixed buffers passed between the two threads through one atomic index
// (the processing thread fills one, one waits finished, the asking thread reads one): neither
// side ever waits for the other, and the processing side allocates nothing.
//
// Units: samples of one channel (the mean of the channels) at `sampleRate`; frames of 2048
// samples on the cleaner's hop grid, counted from the first sample taken.
// Thread: take and markNoiseFrame on the processing thread; lines on one other thread.
// Allocation: construction (three stretches of kStretchSeconds of floats and their frame lists)
// and lines (HumDetector's working memory); take and markNoiseFrame allocate nothing.

#include "engine/cleaner.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace taln {

class HumWatch {
public:
    // Long enough for HumDetector's 32 segments of 0.37 s when a third of it is pauses.
    static constexpr double kStretchSeconds = 6.0;

    explicit HumWatch(double sampleRate);

    // Processing thread: the next samples of the stream.
    void take(const float* samples, std::int64_t count) noexcept;
    // Processing thread: the frame that ends with the last sample taken holds noise alone.
    void markNoiseFrame() noexcept;
    // Processing thread: forgets the stream (a new one starts).
    void restart() noexcept;

    // The other thread: the hum lines of the latest full stretch that held noise frames (kNoHum
    // before there is one). Allocates.
    Cleaner::HumMask lines();

private:
    struct Stretch {
        std::vector<float> samples;
        std::vector<std::int64_t> frames; // noise frames: frame f starts at sample 512·f
        std::int64_t frameCount = 0;
    };
    static constexpr int kFresh = 4;

    double sampleRate_;
    std::int64_t length_; // samples per stretch, a multiple of Cleaner::kHop
    Stretch stretches_[3];
    int filling_ = 0;             // processing thread's stretch
    std::int64_t filled_ = 0;     // samples in it
    std::atomic<int> waiting_{1}; // index of the finished stretch, | kFresh when not yet read
    int reading_ = 2;             // the other thread's stretch
    Cleaner::HumMask found_ = Cleaner::kNoHum;
};

} // namespace taln
