#pragma once

// ExtendedSignal: the signal the cleaner frames, 2048 zeros, then the pre-filtered channel, then
// zeros, handed out frame by frame from a staging buffer of a few frames that slides along it.
// The channel is pulled from a BiquadCascade as the frames reach it, so the pre-filtered channel
// never exists in full. Internal to the engine.
//
// Thread: one thread. Allocation: construction only (2048 + 4096 floats).

#include "engine/biquad_cascade.h"

#include <cstdint>
#include <vector>

namespace taln {

class ExtendedSignal {
public:
    // The frame length and the zeros before the channel.
    static constexpr std::int64_t kLead = Cleaner::kFrameLength;
    // Samples pulled through the pre-filter at a time.
    static constexpr std::int64_t kChunk = 4096;

    // `cascade` delivers the channel's `channelLength` pre-filtered samples; it must outlive this.
    ExtendedSignal(BiquadCascade& cascade, std::int64_t channelLength);

    // The 2048 samples starting at index `start` of the extended signal. Each start lies between
    // the previous one and the end of what is staged (the cleaner advances by 512); the pointer
    // is valid until the next call.
    const float* frameAt(std::int64_t start);

private:
    void fill(std::int64_t count);

    BiquadCascade& cascade_;
    std::int64_t length_;
    std::vector<float> stage_;
    std::int64_t stageStart_ = 0; // index in the extended signal of stage_[0]
    std::int64_t staged_ = 0;     // valid samples in stage_
};

} // namespace taln
