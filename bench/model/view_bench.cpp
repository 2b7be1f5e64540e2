// What a redraw of a zoomed-in lane costs on a 20-minute stereo recording: the peaks of the
// stretch on screen, one per column of a lane 700 px wide at a scale of 2 (1,400 columns),
// from summaries already made (a redraw while scrolling or playing), from none (the first
// look at a stretch, or just after a cleaned piece landed), and by reading every sample of the
// stretch (the plain way); and a spectrogram column, at the whole file (four FFT frames a
// column) and zoomed in (one). Prints the ratios to the plain read after the runs.

#include "model/spectrogram.h"
#include "model/waveform_peaks.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>

namespace {

using namespace taln;

constexpr double kMinutes = 20.0;
constexpr std::int64_t kColumns = 1400;

const ChunkedAudio& recording() {
    static const ChunkedAudio audio = [] {
        const auto frames = static_cast<std::size_t>(kMinutes * 60.0 * kSampleRate);
        std::mt19937 random(7u);
        std::normal_distribution<float> noise(0.0f, 0.02f);
        Channels channels;
        for (int c = 0; c < 2; ++c) {
            auto samples = std::make_shared<Channel>(frames);
            for (std::size_t i = 0; i < frames; ++i) {
                const double t = static_cast<double>(i) / kSampleRate;
                const double syllables = std::sin(2.0 * M_PI * 3.0 * t) > 0.2 ? 0.3 : 0.0;
                (*samples)[i] = static_cast<float>(syllables * std::sin(2.0 * M_PI * 170.0 * t)) +
                                noise(random);
            }
            channels.push_back(std::move(samples));
        }
        return ChunkedAudio::fromChannels(channels);
    }();
    return audio;
}

// A view `share` of the file long, from a third of the way in, in frames.
std::pair<double, double> view(double share) {
    const auto frames = static_cast<double>(recording().frameCount());
    const double from = frames / 3.0;
    return {from, from + share * frames};
}

void BM_PlainRead(benchmark::State& state) {
    const ChunkedAudio& audio = recording();
    const auto [from, to] = view(1.0 / static_cast<double>(state.range(0)));
    for (auto _ : state) {
        std::vector<Peak> peaks(kColumns);
        const double width = (to - from) / kColumns;
        for (std::int64_t c = 0; c < kColumns; ++c) {
            const auto a = static_cast<std::int64_t>(from + c * width);
            const auto b = std::max(a + 1, static_cast<std::int64_t>(from + (c + 1) * width));
            Peak& peak = peaks[static_cast<std::size_t>(c)];
            for (int ch = 0; ch < audio.channelCount(); ++ch) {
                audio.forEachSpan(ch, a, b, [&](const float* x, std::int64_t n, std::int64_t) {
                    for (std::int64_t i = 0; i < n; ++i) {
                        peak.lo = x[i] < peak.lo ? x[i] : peak.lo;
                        peak.hi = x[i] > peak.hi ? x[i] : peak.hi;
                    }
                });
            }
        }
        benchmark::DoNotOptimize(peaks.data());
    }
}

void BM_ColumnPeaksCold(benchmark::State& state) {
    const auto [from, to] = view(1.0 / static_cast<double>(state.range(0)));
    for (auto _ : state) {
        WaveformPeaks::SummaryCache cache;
        benchmark::DoNotOptimize(
            WaveformPeaks::columnPeaks(recording(), from, to, kColumns, cache).data());
    }
}

void BM_ColumnPeaksWarm(benchmark::State& state) {
    const auto [from, to] = view(1.0 / static_cast<double>(state.range(0)));
    WaveformPeaks::SummaryCache cache;
    WaveformPeaks::columnPeaks(recording(), from, to, kColumns, cache);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            WaveformPeaks::columnPeaks(recording(), from, to, kColumns, cache).data());
    }
}

// Per 64 columns of a grid of kColumns over the view.
void BM_SpectrogramColumns(benchmark::State& state) {
    const auto [from, to] = view(1.0 / static_cast<double>(state.range(0)));
    const Spectrogram::Grid grid{from, to, static_cast<int>(kColumns), 300};
    std::vector<float> levels(64 * 300);
    const Spectrogram::Source source{recording(), {}, kSampleRate};
    for (auto _ : state) {
        Spectrogram::compute(source, grid, 0, 64, levels.data());
        benchmark::DoNotOptimize(levels.data());
    }
}

// The whole file shown (1), a quarter of it (5 min), a 64th (19 s), a 4,096th (0.3 s).
BENCHMARK(BM_PlainRead)->Arg(4)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColumnPeaksCold)->Arg(4)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColumnPeaksWarm)->Arg(4)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpectrogramColumns)->Arg(1)->Arg(4096)->Unit(benchmark::kMillisecond);

// Collects each run's real time per iteration, to print the ratios at the end.
class Ratios : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    recording();
    Ratios reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* share : {"4", "64", "4096"}) {
        const double plain = reporter.times["BM_PlainRead/" + std::string(share)];
        const double cold = reporter.times["BM_ColumnPeaksCold/" + std::string(share)];
        const double warm = reporter.times["BM_ColumnPeaksWarm/" + std::string(share)];
        if (plain > 0.0 && warm > 0.0) {
            std::printf("1/%s of the file: summaries made %.2f x, summaries kept %.1f x as fast "
                        "as reading every sample\n",
                        share, plain / cold, plain / warm);
        }
    }
    benchmark::Shutdown();
    return 0;
}
