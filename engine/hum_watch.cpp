#include "engine/hum_watch.h"

#include "engine/hum_detector.h"
#include "engine/precondition.h"

#include <algorithm>
#include <cmath>
#include <span>

namespace taln {

namespace {

constexpr std::int64_t kFrame = Cleaner::kFrameLength;
constexpr std::int64_t kHop = Cleaner::kHop;

} // namespace

HumWatch::HumWatch(double sampleRate) : sampleRate_(sampleRate) {
    requirePrecondition(std::isfinite(sampleRate) && sampleRate > 0.0,
                        "HumWatch needs a positive, finite sample rate");
    length_ = (std::llround(kStretchSeconds * sampleRate) + kHop - 1) / kHop * kHop;
    for (Stretch& s : stretches_) {
        s.samples.assign(static_cast<std::size_t>(length_), 0.0f);
        s.frames.assign(static_cast<std::size_t>(length_ / kHop), 0);
    }
}

void HumWatch::take(const float* samples, std::int64_t count) noexcept {
    while (count > 0) {
        const std::int64_t m = std::min(count, length_ - filled_);
        std::copy_n(samples, m, stretches_[filling_].samples.data() + filled_);
        filled_ += m;
        samples += m;
        count -= m;
        if (filled_ == length_) {
            // Hand the full stretch over, take back the one waiting (read or not).
            filling_ = waiting_.exchange(filling_ | kFresh, std::memory_order_acq_rel) & 3;
            stretches_[filling_].frameCount = 0;
            filled_ = 0;
        }
    }
}

void HumWatch::markNoiseFrame() noexcept {
    // Frames that began in the previous stretch are left out: its samples are gone.
    const std::int64_t start = filled_ - kFrame;
    Stretch& s = stretches_[filling_];
    if (start >= 0 && start % kHop == 0) {
        s.frames[static_cast<std::size_t>(s.frameCount++)] = start / kHop;
    }
}

void HumWatch::restart() noexcept {
    filled_ = 0;
    stretches_[filling_].frameCount = 0;
}

Cleaner::HumMask HumWatch::lines() {
    if ((waiting_.load(std::memory_order_acquire) & kFresh) != 0) {
        reading_ = waiting_.exchange(reading_, std::memory_order_acq_rel) & 3;
        const Stretch& s = stretches_[reading_];
        if (s.frameCount > 0) {
            found_ =
                HumDetector::detect(s.samples,
                                    std::span<const std::int64_t>(
                                        s.frames.data(), static_cast<std::size_t>(s.frameCount)),
                                    sampleRate_);
        }
    }
    return found_;
}

} // namespace taln
