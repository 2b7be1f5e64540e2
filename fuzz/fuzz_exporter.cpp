// fuzz_exporter: AudioExporter::write on arbitrary channel data, counts, lengths, rates,
// layouts and depths, for each kind.
//
// Every call must either complete or throw std::invalid_argument / std::runtime_error, and:
// - a failure leaves no file at the destination and no temporary file in the folder;
// - std::invalid_argument only for what the contract calls unwritable (no channels,
//   channels of different lengths or missing, more than 8, a layout naming another number of
//   channels, a rate that is not a whole number from 1 to 768,000 Hz, an M4A from under
//   1,000 Hz, a FLAC rate FFmpeg's encoder cannot hold);
// - a WAV or FLAC written at 44,100 Hz with one or two channels in the standard layout and
//   some frames decodes back with the same channel and frame counts, and with the samples the
//   depth promises: 16-bit (the depth of a 16-bit or lossy source, and of FLAC from one):
//   the input scaled by 32,768, rounded and saturated (NaN as 0), read back / 32,768; 24-bit
//   (FLAC from a deeper source): the same at 8,388,608; float: the input itself (NaN and
//   infinities as 0), clipped at ±16 by the decoder;
// - an M4A written at 44,100 Hz with one or two channels and at least 2,048 frames decodes
//   back with the same channel count and its length, give or take one AAC frame.

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/chunked_audio.h"
#include "audio/taln_error.h"
#include "fuzz/fuzz_temp_dir.h"
#include "fuzz/fuzz_values.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <bit>
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

using taln::SampleDepth;
using taln::AudioExporter::Kind;

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

// What an integer file of `bits` holds for x, as the decoder gives it back.
float expectedInteger(float x, int bits) {
    if (std::isnan(x)) {
        return 0.0f;
    }
    const double scale = std::ldexp(1.0, bits - 1);
    const double level =
        std::clamp(std::nearbyint(static_cast<double>(x) * scale), -scale, scale - 1.0);
    return static_cast<float>(level / scale);
}

std::uint64_t maskFrom(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
    case 1:
        return 0;
    case 2: {
        static constexpr std::array<std::uint64_t, 6> kMasks = {
            AV_CH_LAYOUT_STEREO,       AV_CH_LAYOUT_5POINT1, AV_CH_LAYOUT_5POINT1_BACK,
            AV_CH_LAYOUT_7POINT1_WIDE, AV_CH_LAYOUT_2_2,     AV_CH_LAYOUT_6POINT0};
        return kMasks[input.ConsumeIntegralInRange<std::size_t>(0, kMasks.size() - 1)];
    }
    default:
        return input.ConsumeIntegral<std::uint64_t>();
    }
}

bool flacHolds(int rate) {
    return rate < 65535 || (rate % 10 == 0 && rate < 655350);
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
    const Kind kind = static_cast<Kind>(input.ConsumeIntegralInRange<int>(0, 2));
    const auto depth = static_cast<SampleDepth>(input.ConsumeIntegralInRange<int>(0, 4));
    const double rate = rateFrom(input);
    const std::uint64_t mask = maskFrom(input);
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

    const auto extension = kind == Kind::wav    ? "out.wav"
                           : kind == Kind::flac ? "out.flac"
                                                : "out.m4a";
    const auto path = taln::FuzzTempDir::path() / extension;
    const bool wholeRate = rate >= 1.0 && rate <= 768000.0 && rate == std::floor(rate);
    const int intRate = wholeRate ? static_cast<int>(rate) : 0;
    const bool rateWritable = wholeRate && (kind != Kind::m4a || intRate >= 1000) &&
                              (kind != Kind::flac || flacHolds(intRate));
    const bool layoutFits = mask == 0 || std::popcount(mask) == static_cast<int>(channels.size());
    // Whole channels of unequal length go through the form that checks them; the others as
    // chunks, with a layout and a depth.
    const bool whole = damaged || !wholeRate;
    const bool valid = !channels.empty() && channels.size() <= 8 && !damaged && rateWritable &&
                       (whole || layoutFits);
    bool written = false;
    try {
        if (whole) {
            taln::AudioExporter::write(channels, rate, kind, path);
        } else {
            taln::AudioExporter::write(taln::ChunkedAudio::fromChannels(channels),
                                       {intRate, mask, depth}, kind, path);
        }
        written = true;
    } catch (const std::invalid_argument&) {
        if (valid) {
            fail("a writable file was refused as invalid");
        }
    } catch (const std::runtime_error&) {
    }
    if (written && !valid) {
        fail("unwritable channels, layout or rate were written");
    }
    if (!folderIsEmptyBut(written ? path : std::filesystem::path())) {
        fail("the folder holds a file it should not (a leftover or a missing export)");
    }
    if (written && !std::filesystem::exists(path)) {
        fail("a successful write left no file");
    }

    const bool readable = written && rate == 44100.0 && channels.size() <= 2 && mask == 0;
    const SampleDepth stored =
        whole ? SampleDepth::int16 : taln::AudioExporter::depthFor(kind, depth, false);
    const bool samplesKnown = stored == SampleDepth::int16 || stored == SampleDepth::float32 ||
                              (stored == SampleDepth::int24 && kind == Kind::flac);
    if (readable && kind != Kind::m4a && frames > 0) {
        const taln::Channels back = taln::AudioDecoder::decode(path);
        if (back.size() != channels.size() ||
            taln::frameCount(back) != taln::frameCount(channels)) {
            fail("a WAV or FLAC decoded back with another channel or frame count");
        }
        for (std::size_t c = 0; c < channels.size() && samplesKnown; ++c) {
            for (std::size_t i = 0; i < frames; ++i) {
                const float x = (*channels[c])[i];
                const float y = (*back[c])[i];
                const float expected = stored == SampleDepth::float32 ? readBack(x)
                                       : stored == SampleDepth::int24 ? expectedInteger(x, 24)
                                                                      : expectedInteger(x, 16);
                if (std::memcmp(&y, &expected, sizeof y) != 0 && !(y == 0.0f && expected == 0.0f)) {
                    fail("a sample did not come back as written");
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
