// fuzz_exporter: AudioExporter::write on arbitrary channel data, counts, lengths and rates.
//
// Every call must either complete or throw std::invalid_argument / std::runtime_error, and:
// - a failure leaves no file at the destination and no temporary file in the folder;
// - std::invalid_argument only for what the contract calls unwritable (no channels,
//   channels of different lengths or missing, more than 8, a rate that is not a whole
//   number from 1 to 768,000 Hz, an AAC rate the encoder lacks);
// - a WAV written at 44,100 Hz with one or two channels and some frames decodes back with
//   the same channel count and frame count, and with the samples the format promises:
//   16-bit: the input scaled by 32,768, rounded and saturated (NaN as 0), read back / 32,768;
//   float: the input itself (NaN and infinities as 0), clipped at ±16 by the decoder;
// - an M4A written at 44,100 Hz with one or two channels and at least 2,048 frames decodes
//   back with the same channel count and its length, give or take one AAC frame.

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/taln_error.h"
#include "fuzz/fuzz_temp_dir.h"
#include "fuzz/fuzz_values.h"

extern "C" {
#include <libavutil/log.h>
}

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using taln::AudioExporter::Kind;
using taln::AudioExporter::WavSamples;

// Above one 65,536-frame chunk of the writer, so that the chunk boundary is reached.
constexpr std::size_t kMaxFrames = 70000;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz_exporter: %s\n", what);
    std::abort();
}

constexpr std::array<float, 12> kSpecial = {
    0.0f,
    1.0f,
    -1.0f,
    0.99999f,
    -1.00001f,
    32767.0f / 32768.0f,
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::denorm_min(),
    std::numeric_limits<float>::max(),
    -std::numeric_limits<float>::max(),
};

float anyFloat(FuzzedDataProvider& input) {
    return taln::fuzz::anyFloat(input, kSpecial, 1.5f);
}

double rateFrom(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
    case 1:
        return 44100.0;
    case 2: {
        static constexpr std::array<double, 10> kRates = {
            8000.0, 22050.0, 48000.0, 96000.0, 7350.0, 1.0, 768000.0, 0.0, -44100.0, 44100.5};
        return kRates[input.ConsumeIntegralInRange<std::size_t>(0, kRates.size() - 1)];
    }
    case 3:
        return static_cast<double>(input.ConsumeIntegralInRange<std::int64_t>(-10, 800000));
    default:
        return input.ConsumeFloatingPoint<double>();
    }
}

std::int16_t expectedInt16(float x) {
    if (std::isnan(x)) {
        return 0;
    }
    const double scaled = std::nearbyint(static_cast<double>(x) * 32768.0);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

// What a float WAV sample decodes back as: the sample (NaN and infinities written as 0),
// clipped by the decoder at ±16.
float readBack(float x) {
    return std::isfinite(x) ? std::clamp(x, -16.0f, 16.0f) : 0.0f;
}

bool folderIsEmptyBut(const std::filesystem::path& keep) {
    for (const auto& entry : std::filesystem::directory_iterator(taln::FuzzTempDir::path())) {
        if (entry.path() != keep) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const Kind kind = input.ConsumeBool() ? Kind::wav : Kind::m4a;
    const WavSamples wavSamples = input.ConsumeBool() ? WavSamples::int16 : WavSamples::float32;
    const double rate = rateFrom(input);
    const auto channelCount = input.ConsumeIntegralInRange<std::size_t>(0, 9);
    // M4A encoding is far slower per frame than WAV; keep its inputs shorter most of the time.
    const std::size_t frames = input.ConsumeIntegralInRange<std::size_t>(
        0, kind == Kind::m4a && !input.ConsumeBool() ? 4096 : kMaxFrames);
    // Rarely, one channel of another length or a missing channel.
    const int damage = input.ConsumeIntegralInRange<int>(0, 15);

    taln::Channels channels;
    for (std::size_t c = 0; c < channelCount; ++c) {
        std::vector<float> samples(frames, 0.0f);
        std::size_t i = 0;
        while (i < frames && input.remaining_bytes() > 0) {
            const auto run = input.ConsumeIntegralInRange<std::size_t>(1, frames - i);
            const float value = anyFloat(input);
            const float step = input.ConsumeBool() ? 0.0f : anyFloat(input) * 1e-3f;
            for (std::size_t k = 0; k < run; ++k) {
                samples[i + k] = value + step * static_cast<float>(k);
            }
            i += run;
        }
        channels.push_back(std::make_shared<const taln::Channel>(std::move(samples)));
    }
    bool damaged = false;
    if (damage == 1 && !channels.empty()) {
        channels.back() = std::make_shared<const taln::Channel>(frames + 1, 0.0f);
        damaged = channels.size() > 1; // a lone channel of another length is still writable
    } else if (damage == 2 && !channels.empty()) {
        channels.back() = nullptr;
        damaged = true;
    }

    const auto path = taln::FuzzTempDir::path() / (kind == Kind::wav ? "out.wav" : "out.m4a");
    const bool validRate = rate >= 1.0 && rate <= 768000.0 && rate == std::floor(rate);
    const bool valid = !channels.empty() && channels.size() <= 8 && !damaged && validRate;
    bool written = false;
    try {
        taln::AudioExporter::write(channels, rate, kind, path, wavSamples);
        written = true;
    } catch (const std::invalid_argument&) {
        if (valid && kind == Kind::wav) {
            fail("a writable WAV was refused as invalid");
        }
    } catch (const std::runtime_error&) {
    }
    if (written && !valid) {
        fail("unwritable channels or rate were written");
    }
    if (!folderIsEmptyBut(written ? path : std::filesystem::path())) {
        fail("the folder holds a file it should not (a leftover or a missing export)");
    }
    if (written && !std::filesystem::exists(path)) {
        fail("a successful write left no file");
    }

    const bool readable = written && rate == 44100.0 && channels.size() <= 2;
    if (readable && kind == Kind::wav && frames > 0) {
        const taln::Channels back = taln::AudioDecoder::decode(path);
        if (back.size() != channels.size() ||
            taln::frameCount(back) != taln::frameCount(channels)) {
            fail("a WAV decoded back with another channel or frame count");
        }
        for (std::size_t c = 0; c < channels.size(); ++c) {
            for (std::size_t i = 0; i < frames; ++i) {
                const float x = (*channels[c])[i];
                const float y = (*back[c])[i];
                const float expected = wavSamples == WavSamples::int16
                                           ? static_cast<float>(expectedInt16(x)) / 32768.0f
                                           : readBack(x);
                if (std::memcmp(&y, &expected, sizeof y) != 0 && !(y == 0.0f && expected == 0.0f)) {
                    fail("a WAV sample did not come back as written");
                }
            }
        }
    } else if (readable && kind == Kind::m4a && frames >= 2048) {
        const taln::Channels back = taln::AudioDecoder::decode(path);
        if (back.size() != channels.size()) {
            fail("an M4A decoded back with another channel count");
        }
        // The encoder's priming is trimmed on reading; the end may be off by up to one AAC
        // frame of 1,024 samples (its padding kept, or a partial last frame cut).
        const std::int64_t length = taln::frameCount(back);
        const std::int64_t expected = taln::frameCount(channels);
        if (length <= expected - 1024 || length >= expected + 1024) {
            fail("an M4A decoded back with a length other than the one written");
        }
    }
    taln::FuzzTempDir::clear();
    return 0;
}
