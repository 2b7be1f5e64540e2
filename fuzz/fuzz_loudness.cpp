// fuzz_loudness: Loudness::measure, the Meter, plan() and the Normaliser on arbitrary channels,
// then the normalising write (AudioExporter::write with Options::loudness) to WAV and M4A.
//
// Input (FuzzedDataProvider): the kind (WAV at a source depth, float WAV, M4A), the channel
// count (0 to 9), the rate, the layout, the target (-70 to 0 LUFS, as taln-clean takes it),
// the length (from none through under 0.4 s to past a 131,072-frame chunk), how the audio is
// cut into stretches, then the samples: runs of values, silence, clicks, sines and noise, any
// of them NaN, infinite, huge or denormal.
//
// Checks:
// - measure() and the write throw std::invalid_argument exactly for what they cannot take (no
//   channels or more than 8, a layout of another count, a rate the filters are not made for; for
//   the write also what AudioExporter::checkWritable refuses), and nothing else;
// - the Meter fed the same audio in stretches of any length measures the same as measure();
// - the plan's report is for the target asked, says tooShort exactly when no 400 ms block was
//   measured, silent for a measured loudness that is no number, reached only within
//   kToleranceLu of the target; its gain is a number;
// - the Normaliser gives the same samples whether the audio comes in one piece or in
//   stretches; from finite audio it gives finite samples whose true peak (as TruePeak
//   estimates it) stays within 0.1 dB of its threshold, the few hundredths of a dB the gain's
//   change between samples may add;
// - every successful write reports on its target; for WAV and FLAC the report is the plan's;
//   nothing is left in the folder beside the file, and nothing at all after a failure;
// - a WAV holds as many frames as given, no NaN or infinity, the Normaliser's samples (float:
//   exactly, integers: within one step of rounding) and so a true peak under the ceiling;
//   its loudness, measured again, is within 0.5 LU of what the report says it achieved, when
//   the audio was finite and the target at least -50 LUFS (what the plan predicts, against
//   what was written; 16-bit rounding stays far below that at these levels);
// - an M4A decodes back (at a rate the decoder keeps) with a true peak under the ceiling
//   whenever the report's own check of the encoded peak passed.

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/chunked_audio.h"
#include "audio/loudness.h"
#include "audio/loudness_meter.h"
#include "audio/loudness_normaliser.h"
#include "audio/taln_error.h"
#include "audio/true_peak.h"
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
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using taln::SampleDepth;
using taln::AudioExporter::Kind;
namespace Loudness = taln::Loudness;

// Past one 131,072-frame chunk, so that measuring crosses a chunk's end. An M4A is encoded
// (and, normalised, decoded again to check its peaks) up to four times: it gets less.
constexpr std::size_t kMaxFrames = 140000;
constexpr std::size_t kMaxFramesM4a = 50000;

// The true peak the normaliser's output may pass its threshold by (see the checks above).
constexpr double kGainChangeDb = 0.1;
// How far the loudness written may lie from the plan's prediction.
constexpr double kPredictionLu = 0.5;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz_loudness: %s\n", what);
    std::abort();
}

constexpr std::array<float, 12> kSpecial = {
    0.0f,
    1.0f,
    -1.0f,
    0.5f,
    1e-3f,
    1e-6f,
    std::numeric_limits<float>::quiet_NaN(),
    std::numeric_limits<float>::infinity(),
    -std::numeric_limits<float>::infinity(),
    std::numeric_limits<float>::denorm_min(),
    std::numeric_limits<float>::max(),
    1e4f,
};

float anyFloat(FuzzedDataProvider& input) {
    return taln::fuzz::anyFloat(input, kSpecial, 1.5f);
}

int rateFrom(FuzzedDataProvider& input) {
    static constexpr std::array<int, 9> kCommon = {8000,  16000, 22050,  44100, 48000,
                                                   88200, 96000, 192000, 11025};
    static constexpr std::array<int, 8> kOdd = {1, 15, 16, 999, 1000, 7350, 768000, 0};
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
        return kOdd[input.ConsumeIntegralInRange<std::size_t>(0, kOdd.size() - 1)];
    case 1:
        return input.ConsumeIntegralInRange<int>(-10, 800000);
    default:
        return kCommon[input.ConsumeIntegralInRange<std::size_t>(0, kCommon.size() - 1)];
    }
}

std::uint64_t maskFrom(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: {
        static constexpr std::array<std::uint64_t, 8> kMasks = {
            AV_CH_LAYOUT_MONO,    AV_CH_LAYOUT_STEREO,       AV_CH_LAYOUT_2POINT1,
            AV_CH_LAYOUT_QUAD,    AV_CH_LAYOUT_5POINT1,      AV_CH_LAYOUT_5POINT1_BACK,
            AV_CH_LAYOUT_7POINT1, AV_CH_LAYOUT_7POINT1_WIDE,
        };
        return kMasks[input.ConsumeIntegralInRange<std::size_t>(0, kMasks.size() - 1)];
    }
    case 1:
        return input.ConsumeIntegral<std::uint64_t>();
    default:
        return 0;
    }
}

double targetFrom(FuzzedDataProvider& input) {
    static constexpr std::array<double, 9> kTargets = {-70.0, -50.0, -31.0, -23.0, -16.0,
                                                       -14.0, -9.0,  -5.0,  0.0};
    if (input.ConsumeBool()) {
        return kTargets[input.ConsumeIntegralInRange<std::size_t>(0, kTargets.size() - 1)];
    }
    return input.ConsumeFloatingPointInRange<double>(-70.0, 0.0);
}

std::size_t framesFrom(FuzzedDataProvider& input, int rate, std::size_t most) {
    const double second = rate > 0 ? rate : 44100.0;
    std::size_t longest = 0;
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        longest = 64; // a few frames, or none
        break;
    case 1:
        longest = static_cast<std::size_t>(0.4 * second); // under one block
        break;
    case 2:
        longest = most; // as long as allowed
        break;
    default:
        longest = static_cast<std::size_t>(1.2 * second);
        break;
    }
    return input.ConsumeIntegralInRange<std::size_t>(0, std::min(longest, most));
}

// Fills `samples` from the input in runs; what the input does not reach stays silent.
void fillChannel(FuzzedDataProvider& input, std::vector<float>& samples) {
    const std::size_t frames = samples.size();
    std::size_t i = 0;
    while (i < frames && input.remaining_bytes() > 0) {
        const auto run = input.ConsumeIntegralInRange<std::size_t>(1, frames - i);
        const std::span<float> to(samples.data() + i, run);
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: { // a value, or a ramp from it
            const float value = anyFloat(input);
            const float step = input.ConsumeBool() ? 0.0f : anyFloat(input) * 1e-3f;
            for (std::size_t k = 0; k < run; ++k) {
                to[k] = value + step * static_cast<float>(k);
            }
            break;
        }
        case 1: // silence
            break;
        case 2: // a click on silence
            to[input.ConsumeIntegralInRange<std::size_t>(0, run - 1)] = anyFloat(input);
            break;
        case 3: { // a sine, up to the Nyquist frequency
            const double amplitude = anyFloat(input);
            const double cycles = input.ConsumeProbability<double>() * 0.5;
            const double phase = input.ConsumeProbability<double>() * 2.0 * std::numbers::pi;
            for (std::size_t k = 0; k < run; ++k) {
                to[k] = static_cast<float>(
                    amplitude * std::sin(2.0 * std::numbers::pi * cycles * double(k) + phase));
            }
            break;
        }
        default: { // white noise from a seed
            const float amplitude = anyFloat(input);
            auto state = input.ConsumeIntegral<std::uint32_t>() | 1u;
            for (std::size_t k = 0; k < run; ++k) {
                state = state * 1664525u + 1013904223u;
                to[k] = amplitude * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
            }
            break;
        }
        }
        i += run;
    }
}

bool sameBits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

template <typename T> bool sameValues(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](T x, T y) {
               return sameBits(double(x), double(y));
           });
}

bool sameMeasurement(const Loudness::Measurement& a, const Loudness::Measurement& b) {
    return a.sampleRate == b.sampleRate && a.frames == b.frames &&
           sameBits(a.integrated, b.integrated) && a.tilesPerHop == b.tilesPerHop &&
           sameValues(a.blocks, b.blocks) && sameValues(a.tilePeaks, b.tilePeaks) &&
           sameValues(a.tileEnergies, b.tileEnergies);
}

// Stretch lengths for feeding the audio in pieces: from 1 frame to a few thousand, in a
// repeating pattern drawn from the input.
class Stretches {
public:
    explicit Stretches(FuzzedDataProvider& input) {
        const auto count = input.ConsumeIntegralInRange<std::size_t>(1, 4);
        for (std::size_t i = 0; i < count; ++i) {
            lengths_.push_back(input.ConsumeBool() ? input.ConsumeIntegralInRange<int>(1, 100)
                                                   : input.ConsumeIntegralInRange<int>(1, 9000));
        }
    }
    std::int64_t next() { return lengths_[next_++ % lengths_.size()]; }

private:
    std::vector<int> lengths_;
    std::size_t next_ = 0;
};

std::vector<const float*> pointers(const taln::Channels& channels, std::int64_t from) {
    std::vector<const float*> result;
    for (const auto& channel : channels) {
        result.push_back(channel->data() + from);
    }
    return result;
}

Loudness::Measurement meterInStretches(const taln::Channels& channels,
                                       const taln::AudioFormat& format, Stretches stretches) {
    Loudness::Meter meter(static_cast<int>(channels.size()), format);
    const auto frames = static_cast<std::int64_t>(taln::frameCount(channels));
    for (std::int64_t at = 0; at < frames;) {
        const std::int64_t n = std::min(stretches.next(), frames - at);
        meter.add(pointers(channels, at), n);
        at += n;
    }
    return meter.finish();
}

// The Normaliser's output for all of `channels`, given in stretches (or in one piece).
std::vector<std::vector<float>> normalise(const Loudness::Plan& plan,
                                          const taln::Channels& channels, int rate,
                                          std::optional<Stretches> stretches) {
    const auto count = static_cast<int>(channels.size());
    Loudness::Normaliser normaliser(plan, count, rate);
    std::vector<std::vector<float>> out(channels.size());
    const auto sink = [&out](std::span<const float* const> from, std::int64_t n) {
        for (std::size_t c = 0; c < out.size(); ++c) {
            out[c].insert(out[c].end(), from[c], from[c] + n);
        }
    };
    const auto frames = static_cast<std::int64_t>(taln::frameCount(channels));
    for (std::int64_t at = 0; at < frames;) {
        const std::int64_t n = stretches ? std::min(stretches->next(), frames - at) : frames;
        normaliser.process(pointers(channels, at), n, sink);
        at += n;
    }
    normaliser.finish(sink);
    return out;
}

double truePeakDb(const std::vector<std::vector<float>>& channels) {
    if (channels.empty()) {
        return -std::numeric_limits<double>::infinity();
    }
    taln::TruePeak::Meter meter(static_cast<int>(channels.size()));
    std::vector<const float*> from;
    for (const auto& channel : channels) {
        from.push_back(channel.data());
    }
    meter.add(from, static_cast<std::int64_t>(channels.front().size()));
    return 20.0 * std::log10(double(meter.finish()));
}

bool allFinite(const taln::Channels& channels) {
    return std::all_of(channels.begin(), channels.end(), [](const auto& channel) {
        return std::all_of(channel->begin(), channel->end(),
                           [](float x) { return std::isfinite(x); });
    });
}

std::vector<char> readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::uint32_t le32(const char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v;
}

// A WAV's samples as written, de-interleaved, read from its data chunk as `depth` says (the
// decoder would hide a NaN and clip at ±16).
std::vector<std::vector<float>> wavSamples(const std::filesystem::path& path, int channels,
                                           SampleDepth depth) {
    const std::vector<char> file = readFile(path);
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0) {
        fail("a WAV written is no RIFF file");
    }
    std::size_t at = 12;
    while (at + 8 <= file.size() && std::memcmp(file.data() + at, "data", 4) != 0) {
        at += 8 + ((le32(file.data() + at + 4) + 1) & ~std::uint32_t{1});
    }
    if (at + 8 > file.size()) {
        fail("a WAV written has no data chunk");
    }
    const int width = depth == SampleDepth::int24                                    ? 3
                      : depth == SampleDepth::int32 || depth == SampleDepth::float32 ? 4
                                                                                     : 2;
    const std::size_t bytes =
        std::min<std::size_t>(le32(file.data() + at + 4), file.size() - at - 8);
    const std::size_t frames = bytes / static_cast<std::size_t>(width * channels);
    std::vector<std::vector<float>> result(static_cast<std::size_t>(channels),
                                           std::vector<float>(frames));
    const char* p = file.data() + at + 8;
    for (std::size_t i = 0; i < frames; ++i) {
        for (auto& channel : result) {
            if (depth == SampleDepth::float32) {
                std::memcpy(&channel[i], p, 4);
            } else {
                // Sign-extended from the top byte, scaled to full scale = 1.
                std::int64_t v = static_cast<signed char>(p[width - 1]);
                for (int b = width - 2; b >= 0; --b) {
                    v = v * 256 + static_cast<unsigned char>(p[b]);
                }
                channel[i] = static_cast<float>(double(v) / std::ldexp(1.0, 8 * width - 1));
            }
            p += width;
        }
    }
    return result;
}

bool folderHoldsOnly(const std::filesystem::path& keep) {
    for (const auto& entry : std::filesystem::directory_iterator(taln::FuzzTempDir::path())) {
        if (entry.path() != keep) {
            return false;
        }
    }
    return true;
}

// What a normalised sample is stored as at `bits` (0: float): scaled, rounded, saturated.
double stored(float x, int bits) {
    if (!std::isfinite(x)) {
        return 0.0;
    }
    if (bits == 0) {
        return x;
    }
    const double scale = std::ldexp(1.0, bits - 1);
    return std::clamp(std::nearbyint(double(x) * scale), -scale, scale - 1.0) / scale;
}

void checkReport(const Loudness::Report& report, const Loudness::Measurement& m, double target) {
    using Shortfall = Loudness::Report::Shortfall;
    if (!sameBits(report.target, target)) {
        fail("the report is for another target");
    }
    if ((report.shortfall == Shortfall::tooShort) != m.blocks.empty()) {
        fail("tooShort said of audio with blocks, or not of audio without");
    }
    if (!m.blocks.empty() && !std::isfinite(m.integrated) &&
        report.shortfall != Shortfall::silent) {
        fail("audio without a loudness is not reported as silent");
    }
    if (!std::isfinite(report.gainDb)) {
        fail("the plan's gain is not a number");
    }
    if (report.reached() && !(std::fabs(report.achieved - target) <= Loudness::kToleranceLu)) {
        fail("a target reported reached is not within the tolerance");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    // 0: WAV at a source depth, 1: float WAV, 2: M4A.
    const int choice = input.ConsumeIntegralInRange<int>(0, 2);
    const Kind kind = choice == 2 ? Kind::m4a : Kind::wav;
    const bool forceFloat = choice == 1;
    const auto depth = static_cast<SampleDepth>(input.ConsumeIntegralInRange<int>(0, 4));
    const auto channelCount = input.ConsumeBool() ? input.ConsumeIntegralInRange<int>(0, 9)
                                                  : input.ConsumeIntegralInRange<int>(1, 2);
    const int rate = rateFrom(input);
    const std::uint64_t mask = maskFrom(input);
    const double target = targetFrom(input);
    const std::size_t frames =
        framesFrom(input, rate, kind == Kind::m4a ? kMaxFramesM4a : kMaxFrames);
    const Stretches stretches(input);
    const bool copies = input.ConsumeBool(); // every channel a copy of the first

    taln::Channels channels;
    for (int c = 0; c < channelCount; ++c) {
        if (copies && c > 0) {
            channels.push_back(channels.front());
            continue;
        }
        std::vector<float> samples(frames, 0.0f);
        fillChannel(input, samples);
        channels.push_back(std::make_shared<const taln::Channel>(std::move(samples)));
    }
    const taln::AudioFormat format{rate, mask, depth};
    const taln::ChunkedAudio audio = taln::ChunkedAudio::fromChannels(channels);
    const bool measurable =
        channelCount >= 1 && channelCount <= 8 && rate >= Loudness::Meter::kLowestRate &&
        rate <= Loudness::Meter::kHighestRate && (mask == 0 || std::popcount(mask) == channelCount);

    std::optional<Loudness::Measurement> measured;
    try {
        measured = Loudness::measure(audio, format, taln::PassProgress({}, audio.frameCount()));
    } catch (const std::invalid_argument&) {
        if (measurable) {
            fail("measurable audio was refused as invalid");
        }
    }
    if (measured && !measurable) {
        fail("audio of an impossible layout or rate was measured");
    }
    std::optional<Loudness::Plan> plan;
    std::vector<std::vector<float>> normalised;
    if (measured) {
        const Loudness::Measurement& m = *measured;
        if (m.frames != static_cast<std::int64_t>(frames) || m.sampleRate != rate) {
            fail("the measurement is of another length or rate");
        }
        if (!sameMeasurement(m, meterInStretches(channels, format, stretches))) {
            fail("the meter measures stretches differently from the whole");
        }
        const Loudness::Encoding encoding =
            kind == Kind::m4a ? Loudness::Encoding::lossy : Loudness::Encoding::lossless;
        plan = Loudness::plan(m, target, encoding);
        checkReport(plan->report, m, target);

        normalised = normalise(*plan, channels, rate, std::nullopt);
        if (normalised != normalise(*plan, channels, rate, stretches)) {
            fail("the normaliser gives stretches other samples than the whole");
        }
        for (const auto& channel : normalised) {
            if (static_cast<std::int64_t>(channel.size()) != m.frames) {
                fail("the normaliser gave another number of frames");
            }
        }
        if (allFinite(channels)) {
            for (const auto& channel : normalised) {
                if (!std::all_of(channel.begin(), channel.end(),
                                 [](float x) { return std::isfinite(x); })) {
                    fail("the normaliser made a sample that is not finite of finite audio");
                }
            }
            if (truePeakDb(normalised) > plan->thresholdDbtp + kGainChangeDb) {
                fail("the normaliser let a true peak through above its threshold");
            }
        }
    }

    const auto path = taln::FuzzTempDir::path() / (kind == Kind::m4a ? "out.m4a" : "out.wav");
    bool writable = measurable;
    try {
        taln::AudioExporter::checkWritable(channelCount, format, kind);
    } catch (const std::invalid_argument&) {
        writable = false;
    }
    std::optional<taln::AudioExporter::Written> written;
    try {
        written = taln::AudioExporter::write(audio, format, kind, path, {forceFloat, target});
    } catch (const std::invalid_argument&) {
        if (writable) {
            fail("a writable file was refused as invalid");
        }
    } catch (const std::runtime_error&) {
    }
    if (written && !writable) {
        fail("unwritable audio was written");
    }
    if (!folderHoldsOnly(written ? path : std::filesystem::path())) {
        fail("the folder holds a file it should not (a leftover or a missing export)");
    }
    if (!written) {
        taln::FuzzTempDir::clear();
        return 0;
    }
    if (!measured || !written->loudness) {
        fail("a normalised write gave no loudness report");
    }
    const Loudness::Report& report = *written->loudness;
    checkReport(report, *measured, target);
    if (!sameBits(report.measured, measured->integrated)) {
        fail("the write measured the audio otherwise");
    }
    const double ceiling = Loudness::kTruePeakCeiling;
    if (kind == Kind::wav) {
        const Loudness::Report& planned = plan->report;
        if (!sameBits(report.gainDb, planned.gainDb) ||
            !sameBits(report.achieved, planned.achieved) || report.shortfall != planned.shortfall) {
            fail("a WAV's report is not its plan's");
        }
        const SampleDepth inFile = written->format.depth;
        const int bits = inFile == SampleDepth::float32 ? 0
                         : inFile == SampleDepth::int24 ? 24
                         : inFile == SampleDepth::int32 ? 32
                                                        : 16;
        const auto back = wavSamples(path, channelCount, inFile);
        if (back.front().size() != frames) {
            fail("a WAV holds another number of frames");
        }
        const double step = bits == 0 ? 0.0 : std::ldexp(1.0, 1 - bits);
        for (std::size_t c = 0; c < back.size(); ++c) {
            for (std::size_t i = 0; i < frames; ++i) {
                const float y = back[c][i];
                if (!std::isfinite(y)) {
                    fail("a WAV holds a sample that is not finite");
                }
                if (!(std::fabs(double(y) - stored(normalised[c][i], bits)) <= step)) {
                    fail("a WAV holds other samples than the normaliser gave");
                }
            }
        }
        if (truePeakDb(back) > ceiling) {
            fail("a normalised WAV's true peak is above the ceiling");
        }
        using Shortfall = Loudness::Report::Shortfall;
        if (allFinite(channels) && target >= -50.0 &&
            (report.shortfall == Shortfall::none || report.shortfall == Shortfall::limited)) {
            taln::Channels again;
            for (auto& channel : back) {
                again.push_back(std::make_shared<const taln::Channel>(std::move(channel)));
            }
            const double level = Loudness::measure(taln::ChunkedAudio::fromChannels(again), format,
                                                   taln::PassProgress({}, 0))
                                     .integrated;
            if (!(std::fabs(level - report.achieved) <= kPredictionLu)) {
                std::fprintf(stderr, "written %.3f LUFS, achieved %.3f, target %.3f\n", level,
                             report.achieved, target);
                fail("a WAV's loudness is not what its report says it achieved");
            }
        }
    } else {
        if (std::isnan(report.encodedPeakDbtp)) {
            fail("a normalised M4A's report has no encoded peak");
        }
        const int fileRate = written->format.sampleRate;
        if (fileRate >= 8000 && report.encodedPeakDbtp <= ceiling - Loudness::kEstimateMarginDb) {
            taln::Channels back;
            try {
                back = taln::AudioDecoder::decode(path);
            } catch (const taln::TalnError&) {
                // No frames: an M4A of a few samples may hold none once its priming is cut.
            }
            std::vector<std::vector<float>> samples;
            for (const auto& channel : back) {
                samples.push_back(*channel);
            }
            if (truePeakDb(samples) > ceiling) {
                std::fprintf(stderr, "decoded %.3f dBTP, the check said %.3f\n",
                             truePeakDb(samples), report.encodedPeakDbtp);
                fail("a normalised M4A's true peak is above the ceiling");
            }
        }
    }
    taln::FuzzTempDir::clear();
    return 0;
}
