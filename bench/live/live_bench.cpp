// One run: ten minutes of speech over noise at 48 kHz through the real-time cleaner, mono in
// blocks of 1 (lv2apply's way), 256 and 1024 samples and stereo in 256, and the bare FFTW forward
// + inverse pair for as many frames as the mono cleaner transforms. At the end it prints each as
// a share of one core (time over the audio's ten minutes) and over the bare transforms.

#include "engine/realtime_cleaner.h"

#include "tests/engine/test_signals.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace taln;

constexpr double kRate = 48000.0;
constexpr std::int64_t kSamples = 10 * 60 * 48000;

const std::vector<float>& channel() {
    static const std::vector<float> x = [] {
        std::vector<float> v = testsignals::speech(kSamples, kRate, 11, 0.3f);
        const auto noise =
            testsignals::colouredNoise(kSamples, testsignals::Colour::pink, 0.01, 12, kRate);
        for (std::size_t i = 0; i < v.size(); ++i) {
            v[i] += noise[i];
        }
        return v;
    }();
    return x;
}

std::map<std::string, double>& seconds() {
    static std::map<std::string, double> s;
    return s;
}

// Arguments: channels, block size.
void BM_RealtimeCleaner(benchmark::State& state) {
    const auto channels = static_cast<int>(state.range(0));
    const std::int64_t block = state.range(1);
    const auto& x = channel();
    std::vector<float> out(x.size());
    std::vector<float> right(x.size());
    for (auto _ : state) {
        state.PauseTiming();
        RealtimeCleaner cleaner(kRate, channels, 0.6f);
        state.ResumeTiming();
        for (std::int64_t at = 0; at < kSamples; at += block) {
            const float* in[2] = {x.data() + at, x.data() + at};
            float* to[2] = {out.data() + at, right.data() + at};
            cleaner.process(in, to, std::min(block, kSamples - at));
        }
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_BareTransforms(benchmark::State& state) {
    RealFFT fft(Cleaner::kFrameLength);
    const auto& x = channel();
    for (auto _ : state) {
        for (std::int64_t at = 0; at + Cleaner::kFrameLength <= kSamples; at += Cleaner::kHop) {
            std::copy_n(x.data() + at, Cleaner::kFrameLength, fft.frameBuffer());
            fft.forward(fft.frameBuffer());
            fft.inverse(fft.frameBuffer());
        }
        benchmark::DoNotOptimize(fft.frameBuffer());
    }
}

BENCHMARK(BM_RealtimeCleaner)
    ->Args({1, 1})
    ->Args({1, 256})
    ->Args({1, 1024})
    ->Args({2, 256})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareTransforms)->Unit(benchmark::kMillisecond);

class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            // Processor time: on a machine shared with other work, the wall clock says more about
            // the others than about the cleaner.
            seconds()[run.benchmark_name()] =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    RealFFT::prepare(Cleaner::kFrameLength, RealFFT::Planning::measured, RealFFT::wisdomFile());
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    const double bare = seconds()["BM_BareTransforms"];
    std::printf("\nTen minutes at 48 kHz, processor time (share of one core; times the bare "
                "transforms):\n");
    for (const auto& [name, s] : seconds()) {
        if (name.rfind("BM_RealtimeCleaner", 0) == 0) {
            std::printf("  %-30s %6.3f s  %5.2f %%  %5.2f x\n", name.c_str() + 3, s,
                        100.0 * s / 600.0, bare > 0.0 ? s / bare : 0.0);
        }
    }
    std::printf("  %-30s %6.3f s  %5.2f %%\n", "BareTransforms", bare, 100.0 * bare / 600.0);
    benchmark::Shutdown();
}
