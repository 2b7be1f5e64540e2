#include "engine/realtime_cleaner.h"

#include "engine/precondition.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace taln {

namespace {

constexpr std::int64_t kFrame = Cleaner::kFrameLength;
constexpr std::int64_t kHop = Cleaner::kHop;
constexpr std::int64_t kBins = Cleaner::kBins;
constexpr std::int64_t kNyquist = kBins - 1;

// A hop whose mean square is at or below Cleaner::kSilenceMeanSquare (about −90 dBFS) is digital
// silence: a muted input, or the zeros the buffers start with. No frame that holds one is learned
// from: even a frame with a quarter of silence would put the noise's floor some 10 dB low for a
// whole window.
constexpr double kSilenceMeanSquare = Cleaner::kSilenceMeanSquare;

// Filter states below this are flushed to zero: on a silent input they would otherwise decay
// into subnormal doubles (after about 3 s at a 40 Hz corner), which x86 computes a hundred times
// slower, in the audio thread.
constexpr double kTinyState = 1e-30;

} // namespace

struct RealtimeCleaner::Channel {
    explicit Channel() : fft(kFrame), fifo(kFrame, 0.0f), sum(kFrame, 0.0f), ready(kHop, 0.0f) {}
    RealFFT fft;
    std::vector<float> fifo;  // the last 2048 pre-filtered samples, the newest hop being filled
    std::vector<float> sum;   // overlap-add of the frames so far, from the oldest sample on
    std::vector<float> ready; // the hop of cleaned samples being handed out
    // The high-pass's history: the input's two last samples, then each section's two last.
    std::array<double, 6> history{};
};

RealtimeCleaner::RealtimeCleaner(double sampleRate, int channels, float strength, Hum hum)
    : sampleRate_(sampleRate), channels_(channels), strength_(0.0f), track_(sampleRate),
      mixRe_(kFrame / 2, 0.0f), mixIm_(kFrame / 2, 0.0f), mono_(kHop, 0.0f) {
    requirePrecondition(std::isfinite(sampleRate) && sampleRate > 0.0,
                        "RealtimeCleaner needs a positive, finite sample rate");
    requirePrecondition(channels >= 1 && channels <= kMaxChannels,
                        "RealtimeCleaner cleans one or two channels");
    for (int c = 0; c < channels; ++c) {
        channel_.push_back(std::make_unique<Channel>());
    }
    if (hum == Hum::watch) {
        hum_ = std::make_unique<HumWatch>(sampleRate);
    }
    gain_.emplace(0.0f, sampleRate);
    setStrength(strength);
}

RealtimeCleaner::~RealtimeCleaner() = default;

void RealtimeCleaner::setStrength(float strength) noexcept {
    // Not a number counts as 0; above 1 acts as 1, as in Cleaner::clean.
    strength_ = strength > 0.0f ? std::min(strength, 1.0f) : 0.0f;
    gain_->setFloor(strength_);
    designHighPass();
}

void RealtimeCleaner::setLearning(bool learning) noexcept {
    learning_ = learning;
    learningShown_.store(learning, std::memory_order_relaxed);
}

void RealtimeCleaner::designHighPass() noexcept {
    // Cleaner's pre-filter without its notches: a fourth-order Butterworth high-pass as two
    // sections whose divisors are their 2·Q, the corner rising from 40 Hz at s = 0 to 120 Hz at
    // s = 1.
    const double fc = static_cast<double>(strength_) * 80.0 + 40.0;
    const double w0 = fc * 2.0 * std::numbers::pi / sampleRate_;
    const double sn = std::sin(w0);
    const double cs = std::cos(w0);
    const double divisors[2] = {1.0824, 2.6132};
    for (int s = 0; s < 2; ++s) {
        const double alpha = sn / divisors[s];
        const double a0 = 1.0 + alpha;
        section_[static_cast<std::size_t>(s)] = {((1.0 + cs) * 0.5) / a0, -(1.0 + cs) / a0,
                                                 (-2.0 * cs) / a0, (1.0 - alpha) / a0};
    }
}

void RealtimeCleaner::reset() {
    for (auto& c : channel_) {
        std::fill(c->fifo.begin(), c->fifo.end(), 0.0f);
        std::fill(c->sum.begin(), c->sum.end(), 0.0f);
        std::fill(c->ready.begin(), c->ready.end(), 0.0f);
        c->history.fill(0.0);
    }
    track_.reset();
    gain_.emplace(strength_, sampleRate_);
    if (hum_) {
        hum_->restart();
    }
    filled_ = 0;
    hops_ = 0;
    hopEnergy_.fill(0.0);
    energy_ = 0.0;
    heard_.store(0, std::memory_order_relaxed);
    settled_.store(false, std::memory_order_relaxed);
}

RealtimeCleaner::Progress RealtimeCleaner::progress() const noexcept {
    Progress p;
    p.heardSeconds =
        static_cast<double>(heard_.load(std::memory_order_relaxed)) * track_.hopSeconds();
    p.settled = settled_.load(std::memory_order_relaxed);
    p.learning = learningShown_.load(std::memory_order_relaxed);
    return p;
}

Cleaner::HumMask RealtimeCleaner::heardHum() {
    return hum_ ? hum_->lines() : Cleaner::kNoHum;
}

void RealtimeCleaner::process(const float* const* in, float* const* out,
                              std::int64_t count) noexcept {
    const bool filtering = strength_ > 0.0f;
    for (std::int64_t done = 0; done < count;) {
        const std::int64_t m = std::min(count - done, kHop - filled_);
        // Every channel's input is read before any output is written: an output may be an input.
        for (int c = 0; c < channels_; ++c) {
            Channel& ch = *channel_[static_cast<std::size_t>(c)];
            std::array<double, 6>& h = ch.history;
            float* fifo = ch.fifo.data() + (kFrame - kHop) + filled_;
            const float* x = in[c] + done;
            for (std::int64_t i = 0; i < m; ++i) {
                // A sample that is not finite enters as silence, as in the pre-filter: a
                // recursive filter would carry it into every later sample.
                const double v = std::isfinite(x[i]) ? static_cast<double>(x[i]) : 0.0;
                energy_ += v * v;
                // Direct form I, each section's input history being the previous one's output
                // history: y = ((b0·x[n−2] + (b1·x[n−1] + b0·x[n])) − a1·y[n−1]) − a2·y[n−2].
                double y = v;
                double x1 = h[0];
                double x2 = h[1];
                h[1] = h[0];
                h[0] = v;
                for (std::size_t s = 0; s < 2; ++s) {
                    const auto& q = section_[s];
                    double& y1 = h[2 + 2 * s];
                    double& y2 = h[3 + 2 * s];
                    y = ((q[0] * x2 + (q[1] * x1 + q[0] * y)) - q[2] * y1) - q[3] * y2;
                    x2 = y2;
                    x1 = y1;
                    y2 = y1;
                    y1 = y;
                }
                fifo[i] = filtering ? static_cast<float>(y) : static_cast<float>(v);
            }
            if (hum_) {
                const float share = 1.0f / static_cast<float>(channels_);
                for (std::int64_t i = 0; i < m; ++i) {
                    const float v = std::isfinite(x[i]) ? x[i] * share : 0.0f;
                    mono_[static_cast<std::size_t>(i)] =
                        c == 0 ? v : mono_[static_cast<std::size_t>(i)] + v;
                }
            }
        }
        if (hum_) {
            hum_->take(mono_.data(), m);
        }
        for (int c = 0; c < channels_; ++c) {
            std::copy_n(channel_[static_cast<std::size_t>(c)]->ready.data() + filled_, m,
                        out[c] + done);
        }
        filled_ += m;
        done += m;
        if (filled_ == kHop) {
            processHop();
            filled_ = 0;
        }
    }
}

void RealtimeCleaner::processHop() noexcept {
    ++hops_;
    const auto& w = Cleaner::window();
    for (auto& c : channel_) {
        for (double& v : c->history) {
            v = std::abs(v) < kTinyState ? 0.0 : v;
        }
        float* frame = c->fft.frameBuffer();
        for (std::int64_t i = 0; i < kFrame; ++i) {
            frame[i] = c->fifo[static_cast<std::size_t>(i)] * w[static_cast<std::size_t>(i)];
        }
        c->fft.forward(frame);
        // The fifo moves on by a hop; the newest hop is written over by the next samples.
        std::memmove(c->fifo.data(), c->fifo.data() + kHop, (kFrame - kHop) * sizeof(float));
    }
    // Two channels: the sum of their bin powers, as the spectrum the noise and the gains see.
    const bool linked = channels_ > 1;
    if (linked) {
        const float* re0 = channel_[0]->fft.re();
        const float* im0 = channel_[0]->fft.im();
        const float* re1 = channel_[1]->fft.re();
        const float* im1 = channel_[1]->fft.im();
        mixRe_[0] = std::sqrt(re0[0] * re0[0] + re1[0] * re1[0]);
        mixIm_[0] = std::sqrt(im0[0] * im0[0] + im1[0] * im1[0]);
        for (std::int64_t k = 1; k < kNyquist; ++k) {
            mixRe_[static_cast<std::size_t>(k)] = std::sqrt((re0[k] * re0[k] + im0[k] * im0[k]) +
                                                            (re1[k] * re1[k] + im1[k] * im1[k]));
            mixIm_[static_cast<std::size_t>(k)] = 0.0f;
        }
    }
    float* re = linked ? mixRe_.data() : channel_[0]->fft.re();
    float* im = linked ? mixIm_.data() : channel_[0]->fft.im();

    hopEnergy_[static_cast<std::size_t>(hops_) % hopEnergy_.size()] = energy_;
    energy_ = 0.0;
    const double silence = kSilenceMeanSquare * static_cast<double>(kHop * channels_);
    const bool audible = std::all_of(hopEnergy_.begin(), hopEnergy_.end(),
                                     [silence](double e) { return e > silence; });
    if (learning_ && audible && hops_ % track_.stride() == 0) {
        track_.update(re, im);
        heard_.store(track_.heard(), std::memory_order_relaxed);
        settled_.store(track_.settled(), std::memory_order_relaxed);
    }
    if (hum_ && learning_ && audible && track_.noiseFrame()) {
        hum_->markNoiseFrame();
    }
    if (strength_ > 0.0f) {
        gain_->apply(track_.noise(), re, im);
        if (linked) {
            const std::span<const float> g = gain_->gains();
            for (auto& c : channel_) {
                float* cr = c->fft.re();
                float* ci = c->fft.im();
                cr[0] *= g[0];
                ci[0] *= g[kNyquist];
                for (std::int64_t k = 1; k < kNyquist; ++k) {
                    cr[k] *= g[static_cast<std::size_t>(k)];
                    ci[k] *= g[static_cast<std::size_t>(k)];
                }
            }
        }
    }
    for (auto& c : channel_) {
        float* frame = c->fft.frameBuffer();
        c->fft.inverse(frame);
        // The windows' squares add up to 2 at a hop of 512.
        float* sum = c->sum.data();
        for (std::int64_t i = 0; i < kFrame; ++i) {
            sum[i] += (frame[i] * w[static_cast<std::size_t>(i)]) * 0.5f;
        }
        // The oldest hop has had all four of its frames: it goes out during the next hop.
        std::copy_n(sum, kHop, c->ready.data());
        std::memmove(sum, sum + kHop, (kFrame - kHop) * sizeof(float));
        std::fill_n(sum + (kFrame - kHop), kHop, 0.0f);
    }
}

} // namespace taln
