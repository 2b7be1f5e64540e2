#include "engine/real_fft.h"

#include "engine/precondition.h"

#include <fftw3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

namespace taln {

namespace {

[[noreturn]] void fatal(const char* what) {
    requirePrecondition(false, what);
    std::abort();
}

} // namespace

struct RealFFT::Plans {
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;
};

RealFFT::RealFFT(std::int64_t n) : n_(n) {
    plans_ = plansFor(n, Planning::measured);
    const auto half = static_cast<std::size_t>(n / 2);
    re_ = fftwf_alloc_real(half);
    im_ = fftwf_alloc_real(half);
    time_ = fftwf_alloc_real(static_cast<std::size_t>(n));
    spectrum_ = fftwf_alloc_complex(half + 1);
    if (re_ == nullptr || im_ == nullptr || time_ == nullptr || spectrum_ == nullptr) {
        fatal("out of memory for the FFT buffers");
    }
    std::memset(re_, 0, half * sizeof(float));
    std::memset(im_, 0, half * sizeof(float));
    std::memset(time_, 0, static_cast<std::size_t>(n) * sizeof(float));
    std::memset(spectrum_, 0, (half + 1) * sizeof(fftwf_complex));
}

RealFFT::~RealFFT() {
    fftwf_free(spectrum_);
    fftwf_free(time_);
    fftwf_free(im_);
    fftwf_free(re_);
}

void RealFFT::forward(const float* frame) noexcept {
    if (frame != time_) {
        std::memcpy(time_, frame, static_cast<std::size_t>(n_) * sizeof(float));
    }
    auto* spec = static_cast<fftwf_complex*>(spectrum_);
    fftwf_execute_dft_r2c(plans_->forward, time_, spec);
    // FFTW's forward transform is the plain DFT; the packed layout holds twice that
    // (an exact scaling), with the real Nyquist bin in im[0].
    const std::int64_t half = n_ / 2;
    re_[0] = spec[0][0] * 2.0f;
    im_[0] = spec[half][0] * 2.0f;
    for (std::int64_t k = 1; k < half; ++k) {
        re_[k] = spec[k][0] * 2.0f;
        im_[k] = spec[k][1] * 2.0f;
    }
}

void RealFFT::inverse(float* out) noexcept {
    auto* spec = static_cast<fftwf_complex*>(spectrum_);
    const std::int64_t half = n_ / 2;
    spec[0][0] = re_[0];
    spec[0][1] = 0.0f;
    spec[half][0] = im_[0];
    spec[half][1] = 0.0f;
    for (std::int64_t k = 1; k < half; ++k) {
        spec[k][0] = re_[k];
        spec[k][1] = im_[k];
    }
    // FFTW's c2r is the unnormalised inverse of the full Hermitian spectrum, which is exactly
    // the sum the packed layout describes; the 1/(2n) undoes the forward's 2·n.
    fftwf_execute_dft_c2r(plans_->inverse, spec, time_);
    const float scale = 1.0f / static_cast<float>(2 * n_);
    for (std::int64_t i = 0; i < n_; ++i) {
        out[i] = time_[i] * scale;
    }
}

void RealFFT::prepare(std::int64_t n, Planning planning, const std::filesystem::path& wisdom) {
    plansFor(n, planning, wisdom);
}

std::filesystem::path RealFFT::wisdomFile() {
    const auto absolute = [](const char* value) {
        return value != nullptr && value[0] == '/' ? std::filesystem::path(value)
                                                   : std::filesystem::path();
    };
    std::filesystem::path cache = absolute(std::getenv("XDG_CACHE_HOME"));
    if (cache.empty()) {
        const std::filesystem::path home = absolute(std::getenv("HOME"));
        if (home.empty()) {
            return {};
        }
        cache = home / ".cache";
    }
    return cache / "taln" / "fftw-wisdom";
}

namespace {

// Replaces `path` by FFTW's wisdom, through a file of this process's own beside it, so that
// a reader never sees half a file and two processes saving at once do not mix their lines.
void saveWisdom(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::filesystem::path temporary = path;
    temporary += ".part-" + std::to_string(::getpid());
    if (fftwf_export_wisdom_to_filename(temporary.c_str()) == 0) {
        std::filesystem::remove(temporary, ec);
        return;
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
    }
}

// A wisdom file holds a few kilobytes; anything much larger is not one.
constexpr off_t kLargestWisdom = 1 << 20;

// The wisdom file's text, when it is a regular file of a sane size. FFTW's own reader opens
// whatever it is given and reads to its end: a named pipe there waited for a writer forever and
// a link to /dev/zero never ended. Opened without blocking, checked, then read.
std::optional<std::string> readWisdom(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::string> text;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestWisdom) {
        std::string read(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t done = 0;
        while (done < read.size()) {
            const ssize_t got = ::read(fd, read.data() + done, read.size() - done);
            if (got <= 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        read.resize(done);
        text = std::move(read);
    }
    ::close(fd);
    return text;
}

} // namespace

// Plans live for the whole process and are shared by every instance of the same length.
const RealFFT::Plans* RealFFT::plansFor(std::int64_t n, Planning planning,
                                        const std::filesystem::path& wisdom) {
    if (n < 2 || (n & (n - 1)) != 0) {
        fatal("RealFFT length must be a power of two, at least 2");
    }
    // Plans are created, never destroyed; the map only grows (one entry per length used). The
    // lock and the map are never destroyed either, so a cleaning thread still running while the
    // process exits finds them intact (and leak checkers still see the plans as reachable).
    static std::mutex& mutex = *new std::mutex;
    static std::map<std::int64_t, Plans>& plans = *new std::map<std::int64_t, Plans>;
    const std::lock_guard lock(mutex);
    const auto found = plans.find(n);
    if (found != plans.end()) {
        return &found->second;
    }
    // Planned on scratch arrays from fftwf_malloc, whose alignment the instance buffers share,
    // as the new-array execute functions require.
    float* real = fftwf_alloc_real(static_cast<std::size_t>(n));
    fftwf_complex* complex = fftwf_alloc_complex(static_cast<std::size_t>(n / 2 + 1));
    if (real == nullptr || complex == nullptr) {
        fatal("out of memory for the FFT plans");
    }
    // FFTW_MEASURE runs the candidates on the arrays it plans on (here only scratch);
    // FFTW_ESTIMATE picks from a model of the machine, the same plan in every run.
    const unsigned flags = planning == Planning::measured ? FFTW_MEASURE : FFTW_ESTIMATE;
    Plans made;
    if (planning == Planning::measured && !wisdom.empty()) {
        // FFTW_WISDOM_ONLY makes a plan only from what the wisdom holds, else none at once.
        if (const auto text = readWisdom(wisdom)) {
            fftwf_import_wisdom_from_string(text->c_str());
        }
        made.forward = fftwf_plan_dft_r2c_1d(static_cast<int>(n), real, complex,
                                             flags | FFTW_WISDOM_ONLY);
        made.inverse = fftwf_plan_dft_c2r_1d(static_cast<int>(n), complex, real,
                                             flags | FFTW_WISDOM_ONLY);
    }
    const bool known = made.forward != nullptr && made.inverse != nullptr;
    if (made.forward == nullptr) {
        made.forward = fftwf_plan_dft_r2c_1d(static_cast<int>(n), real, complex, flags);
    }
    if (made.inverse == nullptr) {
        made.inverse = fftwf_plan_dft_c2r_1d(static_cast<int>(n), complex, real, flags);
    }
    if (planning == Planning::measured && !wisdom.empty() && !known) {
        saveWisdom(wisdom);
    }
    fftwf_free(complex);
    fftwf_free(real);
    if (made.forward == nullptr || made.inverse == nullptr) {
        fatal("cannot create the FFT plans");
    }
    return &plans.emplace(n, made).first->second;
}

} // namespace taln
