// One 10-minute mono channel at 44,100 Hz (speech-like over noise), strength 0.6: the single
// Cleaner::clean call against PieceScheduler on a pool of 1, 2, ... threads (up to the processor
// count), its in-order writer copying each stretch into one output as taln-clean hands them to
// its file. At the end it prints, from this same run, the pieces' overhead on one
// thread (the warm-ups) and the speed-up of each thread count over one thread. Wall-clock time:
// the point is how soon the channel is done. On a machine that others are using, the fastest of
// the repetitions is the one least disturbed. The wall-clock speed-up can only reach the thread
// count when the machine has that many cores to spare, so two CPU-time figures stand beside it:
// the process's CPU time (all threads), which shows whether the threads did more work than one
// thread would have, and the critical path: the calling thread's CPU time (its serial part) plus
// the busiest worker's. One thread's work over that is the speed-up the threads reach when each
// has a core of its own.

#include "bench/engine/ten_minutes.h"
#include "engine/cleaner.h"
#include "engine/cleaning_pieces.h"
#include "engine/piece_scheduler.h"
#include "engine/worker_pool.h"

#include "tests/engine/test_signals.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace taln;

using namespace taln::bench;

// User and system CPU seconds of every thread of the process so far.
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Nanoseconds each thread of the process has run so far (Linux: schedstat's first field).
std::map<std::string, double> threadCpuNanoseconds() {
    std::map<std::string, double> ns;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(task.path() / "schedstat");
        double run = 0.0;
        if (stat >> run) {
            ns[task.path().filename().string()] = run;
        }
    }
    return ns;
}

// The process CPU seconds per iteration, as the counter "cpu_all", and the critical path's (this
// thread's plus the busiest other thread's), as "cpu_path".
class ProcessCpu {
public:
    explicit ProcessCpu(benchmark::State& state)
        : state_(state), start_(processCpuSeconds()), threads_(threadCpuNanoseconds()) {}
    ~ProcessCpu() {
        const auto iterations = static_cast<double>(std::max<std::int64_t>(1, state_.iterations()));
        state_.counters["cpu_all"] = (processCpuSeconds() - start_) / iterations;
        const std::string self = std::to_string(gettid());
        double own = 0.0;
        double busiest = 0.0;
        for (const auto& [tid, ns] : threadCpuNanoseconds()) {
            const auto before = threads_.find(tid);
            const double ran = ns - (before == threads_.end() ? 0.0 : before->second);
            if (tid == self) {
                own = ran;
            } else {
                busiest = std::max(busiest, ran);
            }
        }
        state_.counters["cpu_path"] = (own + busiest) * 1e-9 / iterations;
    }
    ProcessCpu(const ProcessCpu&) = delete;
    ProcessCpu& operator=(const ProcessCpu&) = delete;

private:
    benchmark::State& state_;
    double start_;
    std::map<std::string, double> threads_;
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
    // After the pool: its threads start counting from here.
    const ProcessCpu cpu(state);
    PieceScheduler::Job job;
    job.channels.push_back({channel(), profile(), nullptr, Cleaner::kAllHum, false});
    job.sampleRate = kRate;
    job.strength = kStrength;
    job.engine = Cleaner::Engine::reference;
    job.pieces = PieceScheduler::inOrder(kSamples, kRate, static_cast<int>(state.range(0)));
    std::vector<float> out(static_cast<std::size_t>(kSamples));
    for (auto _ : state) {
        float* at = out.data();
        PieceScheduler::run(pool, job, token, {},
                            [&at](std::span<const float* const> frames, std::int64_t n) {
                                at = std::copy_n(frames[0], n, at);
                            });
        benchmark::DoNotOptimize(out.data());
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
                keepLeast(cpu_, key, run, "cpu_all");
                keepLeast(path_, key, run, "cpu_path");
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
        std::printf("                             wall     CPU, all   critical path\n");
        std::printf("  Cleaner::clean          %6.3f s   %6.3f s   %6.3f s\n", whole, wholeCpu,
                    path_["BM_WholeClean"]);
        std::printf("  pieces, 1 thread        %6.3f s   %6.3f s   %6.3f s   overhead: wall "
                    "%+.1f %%, CPU %+.1f %%\n",
                    one, oneCpu, path_["BM_Pieces/1"], (one / whole - 1.0) * 100.0,
                    (oneCpu / wholeCpu - 1.0) * 100.0);
        for (int t = 2; seconds_.count("BM_Pieces/" + std::to_string(t)) != 0; ++t) {
            const std::string key = "BM_Pieces/" + std::to_string(t);
            std::printf("  pieces, %d threads       %6.3f s   %6.3f s   %6.3f s   speed-up over 1 "
                        "thread: wall %.2f, one core each %.2f\n",
                        t, seconds_[key], cpu_[key], path_[key], one / seconds_[key],
                        oneCpu / path_[key]);
        }
    }

private:
    static void keepLeast(std::map<std::string, double>& into, const std::string& key,
                          const Run& run, const char* counter) {
        const auto found = run.counters.find(counter);
        if (found == run.counters.end()) {
            return;
        }
        const auto known = into.find(key);
        if (known == into.end() || found->second.value < known->second) {
            into[key] = found->second.value;
        }
    }

    std::map<std::string, double> seconds_;
    std::map<std::string, double> cpu_;
    std::map<std::string, double> path_;
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
