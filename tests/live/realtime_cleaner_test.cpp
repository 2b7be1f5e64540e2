#include "engine/realtime_cleaner.h"

#include "tests/engine/test_signals.h"
#include "tests/live/live_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

// Every allocation of this test binary goes through here, counted while a test arms the count on
// its own thread. Never inlined: GCC would then see malloc's memory handed to operator delete.
namespace {
thread_local bool countAllocations = false;
thread_local long allocations = 0;
} // namespace

__attribute__((noinline)) void* operator new(std::size_t size) {
    if (countAllocations) {
        ++allocations;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace taln {
namespace {

// Cleans `in` (channels × samples) in blocks whose sizes cycle through `blocks`, changing nothing
// else; returns the output.
std::vector<std::vector<float>> cleanInBlocks(RealtimeCleaner& cleaner,
                                              const std::vector<std::vector<float>>& in,
                                              const std::vector<std::int64_t>& blocks) {
    const auto n = static_cast<std::int64_t>(in[0].size());
    std::vector<std::vector<float>> out(in.size(), std::vector<float>(in[0].size()));
    for (std::int64_t at = 0, b = 0; at < n; ++b) {
        const std::int64_t m =
            std::min(blocks[static_cast<std::size_t>(b) % blocks.size()], n - at);
        const float* from[2] = {in[0].data() + at, in.back().data() + at};
        float* to[2] = {out[0].data() + at, out.back().data() + at};
        cleaner.process(from, to, m);
        at += m;
    }
    return out;
}

// With no noise sample, speech after 3 s of noise that rises 6 dB halfway: the last 10 s of
// pauses lose at least 15 dB and the voice stays within 3 dB, at every rate, in blocks of any
// size; two channels (the second the first at −6 dB, inverted) keep their ratio exactly, one gain
// serving both. The latency stays within 50 ms.
TEST(RealtimeCleaner, LearnsAndFollowsTheNoiseAtEveryRate) {
    struct Case {
        double rate;
        int channels;
    };
    for (const Case c : {Case{44100.0, 1}, Case{48000.0, 2}, Case{96000.0, 1}}) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
        const live::NoisyVoice take = live::noisyVoice(c.rate, 30.0, 3.0, 6.0);
        std::vector<std::vector<float>> in(static_cast<std::size_t>(c.channels), take.mixed);
        if (c.channels == 2) {
            for (float& v : in[1]) {
                v *= -0.5f;
            }
        }
        RealtimeCleaner cleaner(c.rate, c.channels, 0.6f);
        EXPECT_LE(static_cast<double>(cleaner.latency()) / c.rate, 0.050);
        const auto out = cleanInBlocks(cleaner, in, {512, 64, 1000, 1, 4096, 333});
        const auto last = static_cast<std::int64_t>(20.0 * c.rate);
        EXPECT_LT(live::pauseDb(take.mixed, out[0], take.gaps, last, cleaner.latency()), -15.0);
        EXPECT_NEAR(live::voiceDb(take, out[0], cleaner.latency()), 0.0, 3.0);
        EXPECT_TRUE(cleaner.progress().settled);
        if (c.channels == 2) {
            double error = 0.0;
            double power = 0.0;
            for (std::size_t i = 0; i < out[0].size(); ++i) {
                error += std::pow(double(out[1][i]) + 0.5 * out[0][i], 2.0);
                power += double(out[1][i]) * out[1][i];
            }
            EXPECT_LT(error / power, 1e-10);
        }
    }
}

// The block sizes change nothing, bit for bit; at strength 0 the output is the input exactly
// kLatency samples late (to within the transforms' rounding).
TEST(RealtimeCleaner, IsTheSameInAnyBlocksAndExactlyLate) {
    const live::NoisyVoice take = live::noisyVoice(48000.0, 6.0, 1.0, 0.0);
    const std::vector<std::vector<float>> in{take.mixed};
    RealtimeCleaner whole(48000.0, 1, 0.6f);
    const auto reference = cleanInBlocks(whole, in, {512});
    for (const std::vector<std::int64_t>& blocks :
         std::vector<std::vector<std::int64_t>>{{1}, {4096}, {7, 700, 70}}) {
        RealtimeCleaner cleaner(48000.0, 1, 0.6f);
        EXPECT_EQ(cleanInBlocks(cleaner, in, blocks)[0], reference[0]);
    }
    RealtimeCleaner passing(48000.0, 1, 0.0f);
    const auto out = cleanInBlocks(passing, in, {300});
    const std::int64_t late = passing.latency();
    for (std::size_t i = 0; i + late < out[0].size(); ++i) {
        ASSERT_NEAR(out[0][i + late], in[0][i], 1e-6f) << i;
    }
}

// Learning off holds the noise: when it then rises 12 dB, the pauses after keep far more of it
// than when the cleaner follows. A muted input (digital silence) teaches it nothing: the noise
// after it is cleaned at once.
TEST(RealtimeCleaner, HoldsTheNoiseAndIgnoresSilence) {
    constexpr double kRate = 48000.0;
    const live::NoisyVoice take = live::noisyVoice(kRate, 20.0, 2.0, 12.0);
    const auto half = static_cast<std::int64_t>(take.mixed.size() / 2);
    double depth[2] = {};
    for (const bool learning : {true, false}) {
        RealtimeCleaner cleaner(kRate, 1, 0.6f);
        std::vector<std::vector<float>> in{take.mixed};
        in[0].resize(static_cast<std::size_t>(half));
        std::vector<float> out = cleanInBlocks(cleaner, in, {480})[0];
        cleaner.setLearning(learning);
        in[0].assign(take.mixed.begin() + half, take.mixed.end());
        const auto rest = cleanInBlocks(cleaner, in, {480})[0];
        out.insert(out.end(), rest.begin(), rest.end());
        depth[learning ? 0 : 1] =
            live::pauseDb(take.mixed, out, take.gaps, half + static_cast<std::int64_t>(4 * kRate),
                          cleaner.latency());
        EXPECT_EQ(cleaner.progress().learning, learning);
    }
    EXPECT_LT(depth[0], -15.0);
    EXPECT_GT(depth[1], depth[0] + 8.0);

    const live::NoisyVoice steady = live::noisyVoice(kRate, 20.0, 2.0, 0.0);
    std::vector<std::vector<float>> in{steady.mixed};
    const auto muted = static_cast<std::int64_t>(6 * kRate);
    std::fill(in[0].begin() + muted, in[0].begin() + 2 * muted, 0.0f);
    RealtimeCleaner cleaner(kRate, 1, 0.6f);
    const auto out = cleanInBlocks(cleaner, in, {256});
    std::vector<std::uint8_t> after(steady.gaps.size(), 0);
    std::copy_n(steady.gaps.begin() + 2 * muted, kRate, after.begin() + 2 * muted);
    EXPECT_LT(live::pauseDb(in[0], out[0], after, 0, cleaner.latency()), -15.0);
}

// Mains hum in the pauses is found in what was heard (50 Hz and harmonics over pink noise), and
// none where there is none; from another thread than the one cleaning, while it cleans.
TEST(RealtimeCleaner, FindsTheHumItHeard) {
    constexpr double kRate = 48000.0;
    for (const bool humming : {true, false}) {
        SCOPED_TRACE(humming);
        const auto n = static_cast<std::int64_t>(14 * kRate);
        std::vector<float> x = testsignals::speech(n, kRate, 7, 0.3f);
        const auto noise =
            testsignals::colouredNoise(n, testsignals::Colour::pink, 0.003, 8, kRate);
        const auto hum = testsignals::hum(n, 50.0, humming ? 0.01 : 0.0, true, kRate);
        for (std::size_t i = 0; i < x.size(); ++i) {
            x[i] += noise[i] + hum[i];
        }
        RealtimeCleaner cleaner(kRate, 1, 0.6f, RealtimeCleaner::Hum::watch);
        std::atomic<bool> done = false;
        std::thread cleaning([&] {
            cleanInBlocks(cleaner, {x}, {1024});
            done = true;
        });
        while (!done) {
            (void)cleaner.heardHum();
        }
        cleaning.join();
        const Cleaner::HumMask found = cleaner.heardHum();
        EXPECT_EQ((found & 1u) != 0, humming) << found;
    }
}

// After activation, cleaning allocates nothing, whatever happens between the blocks.
TEST(RealtimeCleaner, AllocatesNothingOnceActive) {
    for (const int channels : {1, 2}) {
        const live::NoisyVoice take = live::noisyVoice(44100.0, 8.0, 1.0, 6.0);
        RealtimeCleaner cleaner(44100.0, channels, 0.6f, RealtimeCleaner::Hum::watch);
        std::vector<float> out(take.mixed.size());
        allocations = 0;
        countAllocations = true;
        for (std::size_t at = 0, b = 0; at < take.mixed.size(); ++b) {
            const std::size_t m = std::min<std::size_t>(64 + 97 * (b % 50), out.size() - at);
            const float* in[2] = {take.mixed.data() + at, take.mixed.data() + at};
            float* to[2] = {out.data() + at, out.data() + at};
            cleaner.process(in, to, static_cast<std::int64_t>(m));
            cleaner.setStrength(b % 7 == 0 ? 0.0f : 0.01f * static_cast<float>(b % 100));
            cleaner.setLearning(b % 11 != 0);
            (void)cleaner.progress();
            at += m;
        }
        countAllocations = false;
        EXPECT_EQ(allocations, 0) << channels << " channels";
    }
}

} // namespace
} // namespace taln
