// Inputs found by fuzz/fuzz_exporter and fuzz/fuzz_decoder, replayed through the same API.
// Each once hung, crashed or failed where it should have succeeded.

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "tests/audio/test_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace taln {
namespace {

using AudioExporter::Kind;
using test::TestFiles;

ChannelPtr channelOf(std::vector<float> samples) {
    return std::make_shared<const Channel>(std::move(samples));
}

// Decodes `path` and checks that it holds `channelCount` channels of finite samples, none
// louder than `limit`.
void expectDecodesWithin(const std::filesystem::path& path, std::size_t channelCount,
                         float limit) {
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

} // namespace
} // namespace taln
