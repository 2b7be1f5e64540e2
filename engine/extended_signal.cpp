#include "engine/extended_signal.h"

#include <algorithm>
#include <cstring>

namespace taln {

ExtendedSignal::ExtendedSignal(BiquadCascade& cascade, std::int64_t channelLength)
    : cascade_(cascade), length_(channelLength),
      stage_(static_cast<std::size_t>(kLead + kChunk), 0.0f) {}

const float* ExtendedSignal::frameAt(std::int64_t start) {
    if (start + kLead > stageStart_ + staged_) {
        // Keep what the new frame still needs, move it to the front, and top the stage up.
        const std::int64_t keep = stageStart_ + staged_ - start;
        std::memmove(stage_.data(), stage_.data() + (start - stageStart_),
                     static_cast<std::size_t>(keep) * sizeof(float));
        stageStart_ = start;
        staged_ = keep;
        fill(static_cast<std::int64_t>(stage_.size()) - keep);
    }
    return stage_.data() + (start - stageStart_);
}

void ExtendedSignal::fill(std::int64_t count) {
    float* dst = stage_.data() + staged_;
    std::int64_t index = stageStart_ + staged_; // index in the extended signal
    const std::int64_t end = index + count;
    staged_ += count;
    // Leading zeros.
    while (index < end && index < kLead) {
        *dst++ = 0.0f;
        ++index;
    }
    // The pre-filtered channel, pulled in order.
    const std::int64_t channelEnd = std::min(end, kLead + length_);
    if (index < channelEnd) {
        cascade_.pull(dst, channelEnd - index);
        dst += channelEnd - index;
        index = channelEnd;
    }
    // Trailing zeros.
    while (index < end) {
        *dst++ = 0.0f;
        ++index;
    }
}

} // namespace taln
