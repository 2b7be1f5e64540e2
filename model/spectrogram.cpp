#include "model/spectrogram.h"

#include "engine/real_fft.h"
#include "engine/worker_pool.h"
#include "model/worker_link.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <numbers>

namespace taln {

namespace {

// The bin width the FFT length is chosen for: 44,100 / 8,192 Hz, narrow enough to part 50 Hz
// hum lines, short enough (0.19 s at 44.1 kHz) that syllables stay apart.
constexpr double kTargetBinHz = 44100.0 / 8192.0;
constexpr std::int64_t kShortestFft = 1024;
constexpr std::int64_t kLongestFft = 32768;
// Powers below this (-200 dB) read as it: silence has a level, not minus infinity.
constexpr float kSilentPower = 1e-20f;

// What a task needs for one FFT length: the transform, its window and the window's sum, and
// buffers for a frame of each track. One per pool thread and length, made on first use.
struct Analyser {
    explicit Analyser(std::int64_t n)
        : fft((RealFFT::prepare(n, RealFFT::Planning::estimated), n)),
          window(static_cast<std::size_t>(n)), frame(static_cast<std::size_t>(n)),
          other(static_cast<std::size_t>(n)) {
        // The periodic Hann window; a sine of amplitude A peaks at A × sum / 2 in its bin.
        for (std::int64_t i = 0; i < n; ++i) {
            window[static_cast<std::size_t>(i)] = static_cast<float>(
                0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                     static_cast<double>(n)));
            sum += window[static_cast<std::size_t>(i)];
        }
    }
    RealFFT fft;
    std::vector<float> window;
    double sum = 0.0;
    std::vector<float> frame;
    std::vector<float> other;
    std::vector<double> power;
};

Analyser& analyserFor(std::int64_t n) {
    thread_local std::unique_ptr<Analyser> analyser;
    if (!analyser || analyser->fft.size() != n) {
        analyser = std::make_unique<Analyser>(n);
    }
    return *analyser;
}

// Frames [start, start + n) of one channel into `out`, zeros outside the track.
void gatherPadded(const ChunkedAudio& audio, int channel, std::int64_t start, std::int64_t n,
                  float* out) {
    const std::int64_t frames = audio.frameCount();
    const std::int64_t from = std::clamp<std::int64_t>(start, 0, frames);
    const std::int64_t to = std::clamp<std::int64_t>(start + n, 0, frames);
    std::fill(out, out + n, 0.0f);
    if (from < to) {
        audio.forEachSpan(channel, from, to,
                          [&](const float* samples, std::int64_t count, std::int64_t first) {
                              std::copy(samples, samples + count, out + (first - start));
                          });
    }
}

// How each band reads the bins: the mean over [first, last], or (first > last) an
// interpolation between bins `first` and `first + 1` with weight `t` on the second.
struct BandBins {
    std::int64_t first = 0;
    std::int64_t last = 0;
    double t = 0.0;
};

std::vector<BandBins> bandBins(double rate, std::int64_t n, int bands) {
    std::vector<BandBins> result(static_cast<std::size_t>(bands));
    const double binHz = rate / static_cast<double>(n);
    const double nyquist = rate / 2.0;
    const double ratio = std::pow(nyquist / Spectrogram::kLowestHz, 1.0 / bands);
    const std::int64_t lastBin = n / 2;
    for (int b = 0; b < bands; ++b) {
        const double low = Spectrogram::kLowestHz * std::pow(ratio, b);
        const double high = low * ratio;
        BandBins& bins = result[static_cast<std::size_t>(b)];
        bins.first = static_cast<std::int64_t>(std::ceil(low / binHz));
        bins.last = std::min(lastBin, static_cast<std::int64_t>(std::ceil(high / binHz)) - 1);
        if (bins.first > bins.last) {
            const double centre = std::sqrt(low * high) / binHz;
            bins.first = std::min(lastBin - 1, static_cast<std::int64_t>(std::floor(centre)));
            bins.last = bins.first - 1;
            bins.t = std::clamp(centre - static_cast<double>(bins.first), 0.0, 1.0);
        }
    }
    return result;
}

// The shared pool of every spectrogram, made on first use and never destroyed: its threads
// wait for work for the rest of the process. Each spectrogram waits for its own running tasks
// when it goes (see Shared).
WorkerPool& pool() {
    static WorkerPool* const shared = new WorkerPool(WorkerPool::hardwareThreads());
    return *shared;
}

} // namespace

// What the tasks share with their spectrogram: the latest generation (a task of another one
// stops), and how many tasks are computing, which the destructor waits to reach 0.
struct Spectrogram::Shared {
    std::mutex mutex;
    std::condition_variable idle;
    std::uint64_t generation = 0;
    bool closed = false;
    int running = 0;

    bool current(std::uint64_t g) {
        const std::lock_guard lock(mutex);
        return !closed && generation == g;
    }
};

std::int64_t Spectrogram::fftLength(double sampleRate) {
    const double bins = std::max(sampleRate, 1.0) / kTargetBinHz;
    const auto power = static_cast<int>(std::lround(std::log2(bins)));
    return std::clamp<std::int64_t>(std::int64_t{1} << std::clamp(power, 0, 30), kShortestFft,
                                    kLongestFft);
}

int Spectrogram::compute(const Source& source, const Grid& grid, int first, int last, float* out,
                         const std::function<bool()>& carryOn) {
    const std::int64_t n = fftLength(source.sampleRate);
    Analyser& a = analyserFor(n);
    const std::vector<BandBins> bins = bandBins(source.sampleRate, n, grid.bands);
    const int channels = source.audio.channelCount();
    const bool subtract = !source.subtract.empty();
    const double width = (grid.to - grid.from) / std::max(grid.columns, 1);
    const int frames =
        std::clamp(static_cast<int>(width / static_cast<double>(n)), 1, kFramesPerColumn);
    // A full-scale sine reads 0 dB: |2X| = sum of the window at amplitude 1.
    const double scale = 1.0 / (a.sum * a.sum);
    a.power.assign(static_cast<std::size_t>(n / 2 + 1), 0.0);
    for (int c = first; c < last; ++c) {
        if (carryOn && !carryOn()) {
            return c - first;
        }
        std::fill(a.power.begin(), a.power.end(), 0.0);
        const double start = grid.from + c * width;
        for (int f = 0; f < frames; ++f) {
            const auto centre =
                static_cast<std::int64_t>(std::floor(start + (f + 0.5) * width / frames));
            const std::int64_t begin = centre - n / 2;
            float* frame = a.fft.frameBuffer();
            std::fill(frame, frame + n, 0.0f);
            for (int ch = 0; ch < channels; ++ch) {
                gatherPadded(source.audio, ch, begin, n, a.frame.data());
                if (subtract) {
                    gatherPadded(source.subtract, ch, begin, n, a.other.data());
                    for (std::int64_t i = 0; i < n; ++i) {
                        a.frame[static_cast<std::size_t>(i)] -=
                            a.other[static_cast<std::size_t>(i)];
                    }
                }
                for (std::int64_t i = 0; i < n; ++i) {
                    frame[i] += a.frame[static_cast<std::size_t>(i)];
                }
            }
            const float mean = 1.0f / static_cast<float>(std::max(channels, 1));
            for (std::int64_t i = 0; i < n; ++i) {
                frame[i] *= mean * a.window[static_cast<std::size_t>(i)];
            }
            a.fft.forward(frame);
            const float* re = a.fft.re();
            const float* im = a.fft.im();
            a.power[0] += static_cast<double>(re[0]) * re[0];
            a.power[static_cast<std::size_t>(n / 2)] += static_cast<double>(im[0]) * im[0];
            for (std::int64_t k = 1; k < n / 2; ++k) {
                a.power[static_cast<std::size_t>(k)] +=
                    static_cast<double>(re[k]) * re[k] + static_cast<double>(im[k]) * im[k];
            }
        }
        float* column = out + static_cast<std::ptrdiff_t>(c - first) * grid.bands;
        const double norm = scale / frames;
        for (int b = 0; b < grid.bands; ++b) {
            const BandBins& band = bins[static_cast<std::size_t>(b)];
            double p = 0.0;
            if (band.first > band.last) {
                const auto k = static_cast<std::size_t>(band.first);
                p = (1.0 - band.t) * a.power[k] + band.t * a.power[k + 1];
            } else {
                for (std::int64_t k = band.first; k <= band.last; ++k) {
                    p += a.power[static_cast<std::size_t>(k)];
                }
                p /= static_cast<double>(band.last - band.first + 1);
            }
            column[b] = 10.0f * std::log10(std::max(static_cast<float>(p * norm), kSilentPower));
        }
    }
    return last - first;
}

Spectrogram::Spectrogram(QObject* parent)
    : QObject(parent), shared_(std::make_shared<Shared>()),
      link_(std::make_shared<WorkerLink>(this)) {}

Spectrogram::~Spectrogram() {
    link_->close();
    std::unique_lock lock(shared_->mutex);
    shared_->closed = true;
    shared_->idle.wait(lock, [this] { return shared_->running == 0; });
}

void Spectrogram::runPosted() {
    if (auto fn = link_->take()) {
        fn();
    }
}

void Spectrogram::show(Source source, Grid grid) {
    source_ = std::move(source);
    grid_ = grid;
    ++generation_;
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->generation = generation_;
    }
    const auto columns = static_cast<std::size_t>(std::max(grid.columns, 0));
    levels_.assign(columns * static_cast<std::size_t>(std::max(grid.bands, 0)),
                   std::numeric_limits<float>::quiet_NaN());
    versions_.assign(columns, 0);
    if (source_.audio.empty() || grid.columns <= 0 || grid.bands <= 0 ||
        !(source_.sampleRate > 0.0)) {
        return;
    }
    request(0, grid.columns);
}

void Spectrogram::patch(Source source, std::int64_t from, std::int64_t to) {
    source_ = std::move(source);
    if (levels_.empty() || from >= to) {
        return;
    }
    // A column reads up to half an FFT beyond its frames on either side.
    const double reach = static_cast<double>(fftLength(source_.sampleRate)) / 2.0;
    const double width = (grid_.to - grid_.from) / grid_.columns;
    const auto first = static_cast<int>(
        std::clamp(std::floor((static_cast<double>(from) - reach - grid_.from) / width), 0.0,
                   static_cast<double>(grid_.columns)));
    const auto last = static_cast<int>(
        std::clamp(std::ceil((static_cast<double>(to) + reach - grid_.from) / width) + 1, 0.0,
                   static_cast<double>(grid_.columns)));
    if (first < last) {
        request(first, last);
    }
}

void Spectrogram::request(int first, int last) {
    for (int c = first; c < last; ++c) {
        ++versions_[static_cast<std::size_t>(c)];
    }
    for (int begin = first; begin < last; begin += kColumnsPerTask) {
        const int end = std::min(last, begin + kColumnsPerTask);
        std::vector<std::uint32_t> versions(versions_.begin() + begin, versions_.begin() + end);
        // `self` is used only in what the link runs, which it runs while this object lives.
        pool().post([self = this, shared = shared_, link = link_, source = source_, grid = grid_,
                     generation = generation_, begin, end, versions = std::move(versions)] {
            {
                const std::lock_guard lock(shared->mutex);
                if (shared->closed || shared->generation != generation) {
                    return;
                }
                ++shared->running;
            }
            std::vector<float> levels(static_cast<std::size_t>(end - begin) *
                                      static_cast<std::size_t>(grid.bands));
            // Given up between columns once a newer stretch is asked for.
            const int done = compute(source, grid, begin, end, levels.data(),
                                     [&] { return shared->current(generation); });
            if (done == end - begin) {
                link->post(
                    [self, begin, generation, versions, levels = std::move(levels)]() mutable {
                        self->arrive(generation, begin, versions, std::move(levels));
                    });
            }
            {
                const std::lock_guard lock(shared->mutex);
                --shared->running;
            }
            shared->idle.notify_all();
        });
    }
}

void Spectrogram::arrive(std::uint64_t generation, int first,
                         const std::vector<std::uint32_t>& versions, std::vector<float> levels) {
    if (generation != generation_) {
        return;
    }
    const auto bands = static_cast<std::size_t>(grid_.bands);
    int begin = -1;
    const auto flush = [&](int end) {
        if (begin >= 0) {
            emit columnsChanged(begin, end);
            begin = -1;
        }
    };
    for (std::size_t i = 0; i < versions.size(); ++i) {
        const int c = first + static_cast<int>(i);
        if (versions_[static_cast<std::size_t>(c)] != versions[i]) {
            flush(c);
            continue;
        }
        std::copy_n(levels.begin() + static_cast<std::ptrdiff_t>(i * bands), bands,
                    levels_.begin() +
                        static_cast<std::ptrdiff_t>(static_cast<std::size_t>(c) * bands));
        if (begin < 0) {
            begin = c;
        }
    }
    flush(first + static_cast<int>(versions.size()));
}

} // namespace taln
