// The spectrogram's levels and its patching as cleaned pieces land.
#include "tests/model/model_harness.h"

#include "model/spectrogram.h"

#include <QSignalSpy>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

namespace taln {
namespace {

using Source = Spectrogram::Source;
using Grid = Spectrogram::Grid;

ChunkedAudio sine(double hz, float amplitude, std::int64_t frames, int channels) {
    auto samples = std::make_shared<Channel>(static_cast<std::size_t>(frames));
    for (std::int64_t i = 0; i < frames; ++i) {
        (*samples)[static_cast<std::size_t>(i)] =
            amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz *
                                                    static_cast<double>(i) / kSampleRate));
    }
    return ChunkedAudio::fromChannels(Channels(static_cast<std::size_t>(channels), samples));
}

// The band whose range holds `hz` on a grid of `bands` bands at 44.1 kHz.
int bandOf(double hz, int bands) {
    return static_cast<int>(std::floor(std::log(hz / Spectrogram::kLowestHz) /
                                       std::log(kSampleRate / 2.0 / Spectrogram::kLowestHz) *
                                       bands));
}

TEST(SpectrogramLevels, ASineReadsItsLevelInItsBandAndNothingFarFromIt) {
    EXPECT_EQ(Spectrogram::fftLength(44100.0), 8192);
    EXPECT_EQ(Spectrogram::fftLength(8000.0), 2048);
    EXPECT_EQ(Spectrogram::fftLength(192000.0), 32768);
    const std::int64_t frames = 4 * 8192;
    const Grid grid{0.0, static_cast<double>(frames), 2, 200};
    // Amplitude 0.5 is -6 dB against full scale; the mean of two equal channels is the same.
    // On bin 20 of the 8,192-point FFT, where the bands are narrower than a bin: the band
    // nearest the bin's centre reads its power within 1.5 dB (interpolated with the next bin,
    // a quarter of it on the Hann window's main lobe, at most a third of the way).
    const double hz = 20.0 * kSampleRate / 8192.0;
    for (const int channels : {1, 2}) {
        const Source source{sine(hz, 0.5f, frames, channels), {}, kSampleRate};
        std::vector<float> levels(2 * 200);
        ASSERT_EQ(Spectrogram::compute(source, grid, 0, 2, levels.data()), 2);
        for (int c = 0; c < 2; ++c) {
            const float* column = levels.data() + c * 200;
            const int band = bandOf(hz, 200);
            const float peak = std::max(column[band], std::max(column[band - 1], column[band + 1]));
            EXPECT_NEAR(peak, -6.0f, 1.5f) << channels;
            EXPECT_LT(column[bandOf(4.0 * hz, 200)], -80.0f) << channels;
            EXPECT_LT(column[bandOf(40.0 * hz, 200)], -80.0f) << channels;
        }
    }
    // What a cleaning took out of a track it left alone is nothing at all.
    const ChunkedAudio track = sine(440.0, 0.3f, frames, 2);
    std::vector<float> removed(200);
    Spectrogram::compute({track, track, kSampleRate}, {0.0, double(frames), 1, 200}, 0, 1,
                         removed.data());
    for (const float level : removed) {
        ASSERT_EQ(level, -200.0f);
    }
}

// A piece that lands recomputes the columns that read its frames, and only those.
TEST(SpectrogramPatch, RecomputesOnlyTheColumnsAPieceReaches) {
    const std::int64_t frames = 8 * kChunkFrames;
    const ChunkedAudio quiet = sine(300.0, 0.01f, frames, 1);
    Spectrogram spectrogram;
    QSignalSpy changed(&spectrogram, &Spectrogram::columnsChanged);
    const Grid grid{0.0, static_cast<double>(frames), 64, 32};
    spectrogram.show({quiet, {}, kSampleRate}, grid);
    const auto arrived = [&] {
        int columns = 0;
        for (const QList<QVariant>& call : changed) {
            columns += call.at(1).toInt() - call.at(0).toInt();
        }
        return columns;
    };
    ASSERT_TRUE(test::waitFor([&] { return arrived() == 64; }));
    const std::vector<float> before = spectrogram.levels();

    // Chunk 3 (columns 24 to 31) becomes loud; half an FFT either side reaches one more column.
    const ChunkedAudio loud = sine(300.0, 0.5f, kChunkFrames, 1);
    changed.clear();
    spectrogram.patch({quiet.withPiece(3, {test::copyOf(loud)}), {}, kSampleRate}, 3 * kChunkFrames,
                      4 * kChunkFrames);
    ASSERT_TRUE(test::waitFor([&] { return arrived() >= 8; }));
    test::drainWorkers();
    for (const QList<QVariant>& call : changed) {
        EXPECT_GE(call.at(0).toInt(), 22);
        EXPECT_LE(call.at(1).toInt(), 34);
    }
    const auto band = static_cast<std::size_t>(bandOf(300.0, 32));
    for (int c = 0; c < 64; ++c) {
        const bool inside = c >= 24 && c < 32;
        const float was = before[static_cast<std::size_t>(c) * 32 + band];
        const float now = spectrogram.levels()[static_cast<std::size_t>(c) * 32 + band];
        EXPECT_EQ(inside, now > was + 20.0f) << c;
    }
}

} // namespace
} // namespace taln
