// One 10-minute mono channel at 44,100 Hz (speech-like over noise), strength 0.6: the single
// Cleaner::clean call against CleaningPieces::cleanChannel on a pool of 1, 2, ... threads (up to
// the processor count). At the end it prints, from this same run, the pieces' overhead on one
// thread (the warm-ups) and the speed-up of each thread count over one thread. Wall-clock time:
// the point is how soon the channel is done. On a machine that others are using, the fastest of
// the repetitions is the one least disturbed, and the process's CPU time (all threads) shows
// whether the threads did more work than one thread would have: the wall-clock speed-up can
// only reach the thread count when the machine has that many cores to spare.

#include "engine/cleaner.h"
#include "engine/cleaning_pieces.h"
#include "engine/worker_pool.h"

#include "tests/engine/test_signals.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace taln;

constexpr double kRate = 44100.0;
constexpr std::int64_t kSamples = 10 * 60 * 44100;
constexpr float kStrength = 0.6f;

const std::vector<float>& channel() {
    static const std::vector<float> x = testsignals::speechLike(kSamples, kRate, 2024);
    return x;
}

const std::vector<float>& profile() {
    static const std::vector<float> p = Cleaner::estimateNoise(channel());
    return p;
}

// User and system CPU seconds of every thread of the process so far.
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The process CPU seconds per iteration, as the counter "cpu_all".
class ProcessCpu {
public:
    explicit ProcessCpu(benchmark::State& state) : state_(state), start_(processCpuSeconds()) {}
    ~ProcessCpu() {
        state_.counters["cpu_all"] =
            (processCpuSeconds() - start_) /
            static_cast<double>(std::max<std::int64_t>(1, state_.iterations()));
    }
    ProcessCpu(const ProcessCpu&) = delete;
    ProcessCpu& operator=(const ProcessCpu&) = delete;

private:
    benchmark::State& state_;
    double start_;
};

void BM_WholeClean(benchmark::State& state) {
    const CancelToken token;
    const ProcessCpu cpu(state);
    for (auto _ : state) {
        auto out = Cleaner::clean(channel(), profile(), kStrength, kRate, token);
        benchmark::DoNotOptimize(out);
    }
}

void BM_Pieces(benchmark::State& state) {
    WorkerPool pool(static_cast<int>(state.range(0)));
    const CancelToken token;
    const ProcessCpu cpu(state);
    for (auto _ : state) {
        auto out =
            CleaningPieces::cleanChannel(pool, channel(), profile(), kStrength, kRate, token);
        benchmark::DoNotOptimize(out);
    }
    state.counters["pieces"] = static_cast<double>(
        CleaningPieces::pieceCount(kSamples, kRate, static_cast<int>(state.range(0))));
}

void threadCounts(benchmark::internal::Benchmark* b) {
    for (int t = 1; t <= std::max(2, WorkerPool::hardwareThreads()); ++t) {
        b->Arg(t);
    }
}

BENCHMARK(BM_WholeClean)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(3);
BENCHMARK(BM_Pieces)
    ->Apply(threadCounts)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2)
    ->Repetitions(3);

// Console output plus the ratios of this run, from each benchmark's fastest repetition.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                const double seconds =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
                std::string key = run.run_name.function_name;
                if (!run.run_name.args.empty()) {
                    key += "/" + run.run_name.args;
                }
                const auto found = seconds_.find(key);
                if (found == seconds_.end() || seconds < found->second) {
                    seconds_[key] = seconds;
                }
                const auto counter = run.counters.find("cpu_all");
                if (counter != run.counters.end()) {
                    const auto known = cpu_.find(key);
                    if (known == cpu_.end() || counter->second.value < known->second) {
                        cpu_[key] = counter->second.value;
                    }
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const double whole = seconds_["BM_WholeClean"];
        const double one = seconds_["BM_Pieces/1"];
        std::printf("\nWall seconds per 10-minute channel, strength %.1f, warm-up %lld samples\n",
                    kStrength, static_cast<long long>(CleaningPieces::warmUp(kRate)));
        const double wholeCpu = cpu_["BM_WholeClean"];
        const double oneCpu = cpu_["BM_Pieces/1"];
        std::printf("                               wall       CPU (all threads)\n");
        std::printf("  Cleaner::clean            %8.3f s  %8.3f s\n", whole, wholeCpu);
        std::printf("  pieces, 1 thread          %8.3f s  %8.3f s  overhead: wall %+.1f %%, CPU "
                    "%+.1f %%\n",
                    one, oneCpu, (one / whole - 1.0) * 100.0, (oneCpu / wholeCpu - 1.0) * 100.0);
        for (int t = 2; seconds_.count("BM_Pieces/" + std::to_string(t)) != 0; ++t) {
            const std::string key = "BM_Pieces/" + std::to_string(t);
            std::printf("  pieces, %d threads         %8.3f s  %8.3f s  1 thread / %d threads: "
                        "wall %.2f, CPU %.2f\n",
                        t, seconds_[key], cpu_[key], t, one / seconds_[key], oneCpu / cpu_[key]);
        }
    }

private:
    std::map<std::string, double> seconds_;
    std::map<std::string, double> cpu_;
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
