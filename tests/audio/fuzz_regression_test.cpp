// Inputs found by fuzz/fuzz_exporter and fuzz/fuzz_decoder, replayed through the same API.
// Each once hung, crashed or failed where it should have succeeded.

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace taln {
namespace {

using AudioExporter::Kind;
using test::TestFiles;

void putLittleEndian(std::vector<std::uint8_t>& bytes, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// An 8-bit mono PCM WAV at `rate` Hz holding `frames` samples of a square wave.
std::vector<std::uint8_t> eightBitWav(std::uint32_t rate, std::uint32_t frames) {
    std::vector<std::uint8_t> bytes;
    const auto tag = [&](const char* fourCC) {
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(fourCC[i]));
        }
    };
    tag("RIFF");
    putLittleEndian(bytes, 36 + frames, 4);
    tag("WAVE");
    tag("fmt ");
    putLittleEndian(bytes, 16, 4);
    putLittleEndian(bytes, 1, 2); // integer PCM
    putLittleEndian(bytes, 1, 2); // one channel
    putLittleEndian(bytes, rate, 4);
    putLittleEndian(bytes, rate, 4); // bytes per second
    putLittleEndian(bytes, 1, 2);    // block align
    putLittleEndian(bytes, 8, 2);    // bits per sample
    tag("data");
    putLittleEndian(bytes, frames, 4);
    for (std::uint32_t i = 0; i < frames; ++i) {
        bytes.push_back(i % 2 == 0 ? 200 : 56);
    }
    return bytes;
}

ChannelPtr channelOf(std::vector<float> samples) {
    return std::make_shared<const Channel>(std::move(samples));
}

// Decodes `path` and checks that it holds `channelCount` channels of finite samples, none
// louder than `limit`.
void expectDecodesWithin(const std::filesystem::path& path, std::size_t channelCount, float limit) {
    const Channels back = AudioDecoder::decode(path);
    ASSERT_EQ(back.size(), channelCount);
    for (const auto& channel : back) {
        for (const float sample : *channel) {
            ASSERT_TRUE(std::isfinite(sample));
            ASSERT_LE(std::abs(sample), limit);
        }
    }
}

// FFmpeg's AAC encoder never returned from a block holding samples in the hundreds of
// millions: this stereo channel (296 samples at 276,274,816, then silence) hung the export.
TEST(FuzzRegressionTest, M4aOfSamplesInTheMillionsCompletes) {
    std::vector<float> loud(64131, 0.0f);
    std::fill(loud.begin(), loud.begin() + 296, 276274816.0f);
    const Channels channels{channelOf(loud), channelOf(std::vector<float>(64131, 0.0f))};
    const auto path = TestFiles::shared().freshFolder("fuzz-m4a-loud") / "loud.m4a";

    AudioExporter::write(channels, kSampleRate, Kind::m4a, path);

    // Clipped at +24 dBFS (16) on the way in; AAC may overshoot a little around the click.
    expectDecodesWithin(path, 2, 32.0f);
}

// Past about 1e20 the encoder refused the whole file ("Invalid argument") because of one
// sample; the largest finite floats must export like any other loud sample.
TEST(FuzzRegressionTest, M4aOfTheLargestFiniteSamplesIsWritten) {
    std::vector<float> samples(8192, 0.25f);
    samples[100] = std::numeric_limits<float>::max();
    samples[5000] = -std::numeric_limits<float>::max();
    samples[6000] = 1e20f;
    const auto path = TestFiles::shared().freshFolder("fuzz-m4a-max") / "max.m4a";

    AudioExporter::write({channelOf(samples)}, kSampleRate, Kind::m4a, path);

    expectDecodesWithin(path, 1, 32.0f);
}

// A 9 KB WAV whose header says 1 Hz decoded to 2.5 hours at 44,100 Hz: 1.6 GB of samples and
// 5 GB at the peak, from a file a fuzzer writes in a moment. Rates that low are damage.
TEST(FuzzRegressionTest, WavClaimingOneHertzIsRefusedAsInvalidData) {
    const auto path = TestFiles::shared().freshFolder("fuzz-1hz") / "one hertz.wav";
    test::writeBytes(path, eightBitWav(1, 9000));

    try {
        AudioDecoder::decode(path);
        FAIL() << "a 1 Hz WAV was decoded";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "one hertz.wav: Invalid data found when processing input");
    }
}

TEST(FuzzRegressionTest, WavAtTheLowestRateStillDecodes) {
    const auto path = TestFiles::shared().freshFolder("fuzz-1khz") / "slow.wav";
    test::writeBytes(path, eightBitWav(1000, 1000)); // one second

    const Channels channels = AudioDecoder::decode(path);

    ASSERT_EQ(channels.size(), 1u);
    EXPECT_NEAR(static_cast<double>(frameCount(channels)), kSampleRate, 64.0);
}

} // namespace
} // namespace taln
