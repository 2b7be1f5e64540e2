// fuzz_engine: Cleaner::estimateNoise, HumDetector::detect and Cleaner::clean on arbitrary
// channels.
//
// Input layout (FuzzedDataProvider): strength, sample rate, where the noise profile comes
// from, a length (at most 24,576 samples), then the
// samples. Samples, strengths and profiles draw on NaN, infinities, denormals and huge
// values as well as raw bit patterns.
//
// Checks:
// - estimateNoise returns 1025 values, none below 1e-14 and none NaN, the same as
//   estimateNoiseDetailed's profile, whose frames are ascending whole frames of the channel;
// - hum detection finds a series only with its fundamental, and 300 Hz at most once;
// - clean returns exactly as many samples as it was given;
// - a strength not above 0 (or NaN) returns the input bit for bit;
// - a channel of ordinary audio (finite samples within ±1e4, what a float file plausibly
//   holds; NaN and infinities allowed, they count as silence) with a profile such as
//   estimateNoise makes, at a rate from 8 to 192 kHz, cleans to finite samples only (with the
//   notches detection chose), and its quiet-to-median ratio is a number from 0 up.

#include "engine/cancel_token.h"
#include "engine/cleaner.h"
#include "engine/hum_detector.h"
#include "fuzz/fuzz_values.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using taln::Cleaner;

// Long enough for the quietest-tenth rule to pick more than its minimum of 4 frames (over 40
// frames), short enough that an execution stays in milliseconds under the sanitizers.
constexpr std::size_t kMaxSamples = 24576;
constexpr float kOrdinaryLimit = 1e4f;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz_engine: %s\n", what);
    std::abort();
}

constexpr std::array<float, 14> kSpecial = {
    0.0f,
    -0.0f,
    1.0f,
    -1.0f,
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::denorm_min(),
    -std::numeric_limits<float>::denorm_min(),
    std::numeric_limits<float>::min(),
    std::numeric_limits<float>::max(),
    -std::numeric_limits<float>::max(),
    1e-30f,
    1e30f,
};

float specialFloat(FuzzedDataProvider& input) {
    return taln::fuzz::pickSpecial(input, kSpecial);
}

// A float from the input: a special value, a raw bit pattern, or a value in [-1, 1].
float anyFloat(FuzzedDataProvider& input) {
    return taln::fuzz::anyFloat(input, kSpecial, 1.0f);
}

float strengthFrom(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return specialFloat(input);
    case 1:
        return input.ConsumeFloatingPointInRange<float>(-2.0f, 3.0f);
    case 2:
        return anyFloat(input);
    default:
        return input.ConsumeFloatingPointInRange<float>(0.0f, 1.0f);
    }
}

double rateFrom(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return 44100.0;
    case 1: {
        static constexpr std::array<double, 6> kRates = {8000.0,  16000.0, 22050.0,
                                                         48000.0, 96000.0, 192000.0};
        return kRates[input.ConsumeIntegralInRange<std::size_t>(0, kRates.size() - 1)];
    }
    case 2:
        return input.ConsumeFloatingPointInRange<double>(1.0, 1e6);
    default: {
        // Any positive finite rate: the cleaner must cope with absurd ones too.
        const double rate = std::abs(input.ConsumeFloatingPoint<double>());
        return std::isfinite(rate) && rate > 0.0 ? rate : 44100.0;
    }
    }
}

std::vector<float> samplesFrom(FuzzedDataProvider& input) {
    const auto length = input.ConsumeIntegralInRange<std::size_t>(0, kMaxSamples);
    std::vector<float> samples(length, 0.0f);
    // The input describes runs: a value (or a noise generator seeded from the input) repeated
    // over a stretch, so short inputs still make long channels with structure in them.
    std::size_t i = 0;
    std::uint32_t seed = 1;
    while (i < length && input.remaining_bytes() > 0) {
        const auto run = input.ConsumeIntegralInRange<std::size_t>(1, length - i);
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: {
            const float value = anyFloat(input);
            std::fill(samples.begin() + static_cast<std::ptrdiff_t>(i),
                      samples.begin() + static_cast<std::ptrdiff_t>(i + run), value);
            break;
        }
        case 1: {
            const float level = anyFloat(input);
            seed ^= input.ConsumeIntegral<std::uint32_t>();
            for (std::size_t k = i; k < i + run; ++k) {
                seed = seed * 1664525u + 1013904223u;
                samples[k] = level * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
            }
            break;
        }
        default:
            samples[i] = anyFloat(input);
            i += 1;
            continue;
        }
        i += run;
    }
    return samples;
}

// Audio the cleaner must turn into finite samples: every finite sample within ±1e4. NaN and
// infinities may be among them: the pre-filter takes them as silence.
bool ordinary(const std::vector<float>& samples) {
    for (const float x : samples) {
        if (std::isfinite(x) && !(std::abs(x) <= kOrdinaryLimit)) {
            return false;
        }
    }
    return true;
}

// A profile such as estimateNoise makes: finite, none below 1e-14 (any magnitude above).
bool saneProfile(const std::vector<float>& profile) {
    for (const float p : profile) {
        if (!std::isfinite(p) || !(p >= 1e-14f)) {
            return false;
        }
    }
    return true;
}

void checkProfile(const std::vector<float>& profile) {
    if (profile.size() != static_cast<std::size_t>(Cleaner::kBins)) {
        fail("estimateNoise returned a profile that is not 1025 values long");
    }
    for (const float p : profile) {
        if (!(p >= 1e-14f)) {
            fail("estimateNoise returned a value below the floor or NaN");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const float strength = strengthFrom(input);
    const double rate = rateFrom(input);
    const bool ownProfile = input.ConsumeBool();
    std::vector<float> given;
    if (!ownProfile) {
        // A profile from the input: one value for all bins, or values per bin until the
        // input runs out (the rest at the floor).
        given.assign(Cleaner::kBins, 1e-14f);
        const bool flat = input.ConsumeBool();
        const float first = anyFloat(input);
        for (std::size_t b = 0; b < given.size(); ++b) {
            given[b] =
                flat || b == 0 ? first : (input.remaining_bytes() > 0 ? anyFloat(input) : 1e-14f);
        }
    }
    const std::vector<float> samples = samplesFrom(input);

    const Cleaner::NoiseEstimate estimate = Cleaner::estimateNoiseDetailed(samples);
    const std::vector<float>& profile = estimate.profile;
    checkProfile(profile);
    if (profile != Cleaner::estimateNoise(samples)) {
        fail("estimateNoiseDetailed's profile differs from estimateNoise's");
    }
    const auto frames = static_cast<std::int64_t>(estimate.frames.size());
    for (std::int64_t i = 0; i < frames; ++i) {
        const std::int64_t f = estimate.frames[static_cast<std::size_t>(i)];
        if (f < 0 ||
            f * Cleaner::kHop + Cleaner::kFrameLength > static_cast<std::int64_t>(samples.size()) ||
            (i > 0 && f <= estimate.frames[static_cast<std::size_t>(i - 1)])) {
            fail("estimateNoiseDetailed reported frames out of order or past the channel");
        }
    }
    const Cleaner::HumMask hum = taln::HumDetector::detect(samples, estimate.frames, rate);
    if (((hum & 0x00FEu) != 0 && (hum & 0x0001u) == 0) ||
        ((hum & 0xFE00u) != 0 && (hum & 0x0100u) == 0) || (hum & 0x1020u) == 0x1020u) {
        fail("hum detection found harmonics without their fundamental, or 300 Hz twice");
    }
    const std::vector<float>& noise = ownProfile ? profile : given;

    const taln::CancelToken token;
    const auto cleaned = Cleaner::clean(samples, noise, strength, rate, token, hum);
    if (!cleaned) {
        fail("clean returned nothing without a cancellation");
    }
    if (cleaned->size() != samples.size()) {
        fail("clean changed the length of the channel");
    }
    if (!(strength > 0.0f)) {
        if (!samples.empty() &&
            std::memcmp(cleaned->data(), samples.data(), samples.size() * sizeof(float)) != 0) {
            fail("a strength not above 0 changed the channel");
        }
        return 0;
    }
    if (ordinary(samples) && !(estimate.quietToMedian >= 0.0f)) {
        fail("ordinary audio gave a quiet-to-median ratio that is negative or not a number");
    }
    if (saneProfile(noise) && ordinary(samples) && rate >= 8000.0 && rate <= 192000.0) {
        for (const float y : *cleaned) {
            if (!std::isfinite(y)) {
                fail("ordinary audio cleaned to a sample that is not finite");
            }
        }
    }
    return 0;
}
