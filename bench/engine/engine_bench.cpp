// One run, one 10-minute mono channel at 44,100 Hz (speech-like signal over stationary noise),
// strength 0.6: clean with every hum notch and with none (a recording where no hum is found), the
// pre-filter alone (in stretches as clean runs it, and as one stream, with all sixteen notches
// and with none, and the plain one-section-at-a-time passes of the test oracle), the noise
// profile, hum detection, and the bare FFTW forward + inverse pair for as many frames as clean
// transforms. At the end it prints the ratios that matter, from this same run.

#include "bench/engine/ten_minutes.h"
#include "engine/biquad_cascade.h"
#include "engine/cleaner.h"
#include "engine/cleaner_test_access.h"
#include "engine/hum_detector.h"

#include "tests/engine/literal_cleaner.h"
#include "tests/engine/test_signals.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace taln;

using namespace taln::bench;

// Frames clean transforms for kSamples: the extended signal is 2 × 2048 + padding longer.
std::int64_t cleanFrames() {
    const std::int64_t pad = ((-(kSamples + 2048)) % 512 + 512) % 512;
    return (kSamples + 4096 + pad - 2048) / 512 + 1;
}

void perChannel(benchmark::State& state) {
    state.counters["x_realtime"] = benchmark::Counter(
        static_cast<double>(kSamples) / kRate, benchmark::Counter::kIsIterationInvariantRate);
}

Cleaner::HumMask humOf(std::int64_t argument) {
    return argument != 0 ? Cleaner::kAllHum : Cleaner::kNoHum;
}

// Argument: 1 for all sixteen notches (18 sections), 0 for none (the high-pass alone).
void BM_Clean(benchmark::State& state) {
    const auto& x = channel();
    const auto& p = profile();
    CancelToken token;
    for (auto _ : state) {
        auto out = Cleaner::clean(x, p, kStrength, kRate, token, humOf(state.range(0)));
        benchmark::DoNotOptimize(out);
    }
    perChannel(state);
}

// The adaptive engine with the channel's noise track (measured once, outside the loop), and the
// track's measuring alone: what a noise sample adds for it.
void BM_CleanAdaptive(benchmark::State& state) {
    const auto& x = channel();
    const auto& p = profile();
    const NoiseTrack track =
        NoiseTrack::measure(x, kRate, Cleaner::estimateNoiseDetailed(x).frames);
    CancelToken token;
    for (auto _ : state) {
        auto out = Cleaner::clean(x, p, kStrength, kRate, token, Cleaner::kAllHum,
                                  Cleaner::Engine::adaptive, &track);
        benchmark::DoNotOptimize(out);
    }
    perChannel(state);
}

void BM_NoiseTrack(benchmark::State& state) {
    const auto& x = channel();
    const std::vector<std::int64_t> frames = Cleaner::estimateNoiseDetailed(x).frames;
    for (auto _ : state) {
        auto track = NoiseTrack::measure(x, kRate, frames);
        benchmark::DoNotOptimize(track);
    }
    perChannel(state);
}

// Arguments: the kernel, 1 for all sixteen notches or 0 for none, and 1 for the stretches clean
// runs (pulled as clean pulls them, 4096 samples at a time) or 0 for one stream.
void BM_Prefilter(benchmark::State& state) {
    const auto kernel = static_cast<BiquadCascade::Kernel>(state.range(0));
    const Cleaner::HumMask hum = humOf(state.range(1));
    const auto& x = channel();
    for (auto _ : state) {
        auto y = state.range(2) != 0
                     ? CleanerTestAccess::prefilterStretched(kernel, x, kRate, kStrength, hum, 4096,
                                                             true)
                     : CleanerTestAccess::prefilterWith(kernel, x, kRate, kStrength, 4096, -1, hum);
        benchmark::DoNotOptimize(y);
    }
    perChannel(state);
}

// The 18 sections one whole pass after another, as the tests' oracle runs them.
void BM_PrefilterWholePasses(benchmark::State& state) {
    const auto& x = channel();
    for (auto _ : state) {
        auto y = literal::prefilter(x, kRate, kStrength);
        benchmark::DoNotOptimize(y);
    }
    perChannel(state);
}

void BM_DetectHum(benchmark::State& state) {
    const auto& x = channel();
    const std::vector<std::int64_t> frames = Cleaner::estimateNoiseDetailed(x).frames;
    for (auto _ : state) {
        auto found = HumDetector::detect(x, frames, kRate);
        benchmark::DoNotOptimize(found);
    }
    perChannel(state);
}

void BM_EstimateNoise(benchmark::State& state) {
    const auto& x = channel();
    for (auto _ : state) {
        auto p = Cleaner::estimateNoise(x);
        benchmark::DoNotOptimize(p);
    }
    perChannel(state);
}

// The bare transforms: one r2c and one c2r of 2048 points per frame, same planner flags as the
// engine (FFTW_MEASURE; the engine has measured them already in this process, and FFTW reuses
// that), no windowing, gains or copies.
void BM_BareFftPair(benchmark::State& state) {
    float* time = fftwf_alloc_real(2048);
    fftwf_complex* spec = fftwf_alloc_complex(1025);
    const fftwf_plan fwd = fftwf_plan_dft_r2c_1d(2048, time, spec, FFTW_MEASURE);
    const fftwf_plan inv = fftwf_plan_dft_c2r_1d(2048, spec, time, FFTW_MEASURE);
    const auto& x = channel();
    const std::int64_t frames = cleanFrames();
    for (auto _ : state) {
        for (std::int64_t t = 0; t < frames; ++t) {
            // Fresh input each frame, so the pair does not run on denormals or its own output.
            const std::int64_t at = std::min<std::int64_t>(t * 512, kSamples - 2048);
            std::copy(x.begin() + at, x.begin() + at + 2048, time);
            fftwf_execute_dft_r2c(fwd, time, spec);
            fftwf_execute_dft_c2r(inv, spec, time);
            benchmark::DoNotOptimize(time[0]);
        }
    }
    fftwf_destroy_plan(inv);
    fftwf_destroy_plan(fwd);
    fftwf_free(spec);
    fftwf_free(time);
    perChannel(state);
}

// Three repetitions of two runs each; the ratios use each benchmark's fastest repetition, the
// one least disturbed by whatever else the machine was doing.
constexpr int kBest = static_cast<int>(BiquadCascade::Kernel::best);
constexpr int kBaseline = static_cast<int>(BiquadCascade::Kernel::baseline);

BENCHMARK(BM_Clean)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3);
BENCHMARK(BM_CleanAdaptive)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3);
BENCHMARK(BM_NoiseTrack)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3);
BENCHMARK(BM_Prefilter)
    ->Args({kBest, 1, 1})
    ->Args({kBest, 0, 1})
    ->Args({kBaseline, 1, 1})
    ->Args({kBaseline, 0, 1})
    ->Args({kBest, 1, 0})
    ->Args({kBest, 0, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->Repetitions(3);
BENCHMARK(BM_PrefilterWholePasses)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3);
BENCHMARK(BM_DetectHum)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3);
BENCHMARK(BM_EstimateNoise)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3);
BENCHMARK(BM_BareFftPair)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(3);

// Console output plus the ratios of this run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                // CPU time of the benchmark's thread: the machine may be shared, and every
                // benchmark here runs on one thread, so this is the work each one does.
                const double seconds =
                    run.cpu_accumulated_time / static_cast<double>(run.iterations);
                std::string key = run.run_name.function_name;
                if (!run.run_name.args.empty()) {
                    key += "/" + run.run_name.args;
                }
                const auto found = seconds_.find(key);
                if (found == seconds_.end() || seconds < found->second) {
                    seconds_[key] = seconds;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const double clean = seconds_["BM_Clean/1"];
        const double highPassClean = seconds_["BM_Clean/0"];
        const double fft = seconds_["BM_BareFftPair"];
        const auto pre = [&](int kernel, int hum, int stretched) {
            return seconds_["BM_Prefilter/" + std::to_string(kernel) + "/" + std::to_string(hum) +
                            "/" + std::to_string(stretched)];
        };
        const double prefilter = pre(kBest, 1, 1);
        const double highPassOnly = pre(kBest, 0, 1);
        const double wholePasses = seconds_["BM_PrefilterWholePasses"];
        const double noise = seconds_["BM_EstimateNoise"];
        const double detect = seconds_["BM_DetectHum"];
        std::printf("\nCPU seconds per 10-minute channel (%lld samples, %lld frames), strength "
                    "%.1f, AVX2 %s\n",
                    static_cast<long long>(kSamples), static_cast<long long>(cleanFrames()),
                    kStrength, BiquadCascade::avx2Available() ? "yes" : "no");
        std::printf("  clean, all sections          %8.3f s  %6.0f x real time\n", clean,
                    600.0 / clean);
        std::printf("  clean, high-pass only        %8.3f s  %6.0f x real time\n", highPassClean,
                    600.0 / highPassClean);
        std::printf("  pre-filter, all sections     %8.3f s  (SSE2 %.3f s, one stream %.3f s)\n",
                    prefilter, pre(kBaseline, 1, 1), pre(kBest, 1, 0));
        std::printf("  pre-filter, high-pass only   %8.3f s  (SSE2 %.3f s, one stream %.3f s)\n",
                    highPassOnly, pre(kBaseline, 0, 1), pre(kBest, 0, 0));
        std::printf("  pre-filter, whole passes     %8.3f s  (one section at a time)\n",
                    wholePasses);
        std::printf("  estimateNoise                %8.3f s\n", noise);
        std::printf("  hum detection                %8.3f s\n", detect);
        std::printf("  bare FFT pair                %8.3f s  (%.2f us a frame)\n", fft,
                    fft / static_cast<double>(cleanFrames()) * 1e6);
        std::printf("  clean, all sections / bare FFT pair    %.2f\n", clean / fft);
        std::printf("  clean, high-pass only / bare FFT pair  %.2f\n", highPassClean / fft);
        std::printf("  pre-filter / clean, all sections       %.2f\n", prefilter / clean);
        std::printf("  one stream / stretches, all sections   %.2f\n",
                    pre(kBest, 1, 0) / prefilter);
        std::printf("  one stream / stretches, high-pass only %.2f\n",
                    pre(kBest, 0, 0) / highPassOnly);
        std::printf("  hum detection / clean                  %.3f\n", detect / clean);
        std::printf("  adaptive clean / clean, high-pass only %.2f\n",
                    seconds_["BM_CleanAdaptive"] / highPassClean);
        std::printf("  noise track / clean, high-pass only    %.3f\n",
                    seconds_["BM_NoiseTrack"] / highPassClean);
    }

private:
    std::map<std::string, double> seconds_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    channel();
    profile();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
