#pragma once

// RealFFT: a real-input FFT of one power-of-two length over FFTW (single precision).
//
// Scale and layout: `forward` leaves TWICE the unnormalised DFT of the frame in `re()`/`im()`,
// packed: re[0] = 2·X[0] (DC), im[0] = 2·X[n/2] (Nyquist), re[k] + i·im[k] = 2·X[k] for
// 1 ≤ k < n/2. `inverse` reads that packed layout (the caller may scale it in place first) and
// includes the 1/(2n) scale, so forward followed by inverse returns the frame. Bin powers
// re² + im² are therefore 4·|X[k]|²; the engine's noise profiles and gains use these units.
//
// Plans: one r2c/c2r plan pair per length, made once per process under a lock (FFTW's planner
// is not thread-safe) and executed with the new-array interface on this instance's own
// SIMD-aligned buffers (execution is thread-safe). By default FFTW measures candidate plans on
// this machine: 0.3 to 0.6 s of one core for 2048 points, for a pair about 1.3 times as fast as
// the estimated one, which takes a tenth off a whole clean. That pays for itself after about an
// hour of audio, so Taln keeps measured plans in a wisdom file (`prepare` with `wisdomFile()`)
// and measures once per machine; without one, a program that cleans less in its life (a
// command-line run on a short file) asks for estimated plans first with `prepare`. Within one
// process every result is reproducible bit for bit; two processes with different plans may
// differ in the last bits.
//
// Thread: an instance belongs to one thread at a time; instances share nothing mutable.
// Allocation: construction only (n/2 + 1 complex values and 2 × n/2 floats); forward and
// inverse allocate nothing. A length below 2 or not a power of two stops the program.

#include <cstdint>
#include <filesystem>

namespace taln {

class RealFFT {
public:
    explicit RealFFT(std::int64_t n);
    ~RealFFT();

    enum class Planning { estimated, measured };

    // Makes the plans for length `n` now, as `planning` says, unless they exist already (the
    // first `prepare` or instance of a length decides; an instance measures). Any thread.
    //
    // With a `wisdom` file (FFTW's record of measured plans), measured plans come from it when
    // it holds them for this machine and length, at no cost; otherwise they are measured and
    // the file is replaced by one that holds them too (its folder made when missing), so that
    // a machine measures once, not once per process. A missing, unreadable or foreign file is
    // measured over, and so is anything that is not a regular file of at most 1 MiB (a named
    // pipe, a device); one that cannot be written only costs the next process the measuring.
    static void prepare(std::int64_t n, Planning planning,
                        const std::filesystem::path& wisdom = {});

    // Where Taln keeps its wisdom: $XDG_CACHE_HOME/taln/fftw-wisdom, else
    // $HOME/.cache/taln/fftw-wisdom; empty when neither variable is set to an absolute path.
    static std::filesystem::path wisdomFile();

    RealFFT(const RealFFT&) = delete;
    RealFFT& operator=(const RealFFT&) = delete;

    std::int64_t size() const noexcept { return n_; }

    // Transforms `frame` (n floats, not modified) into the packed spectrum in re()/im().
    // `frame` may be frameBuffer(), which saves one copy.
    void forward(const float* frame) noexcept;

    // Transforms the packed spectrum in re()/im() back into `out` (n floats), scaled by 1/(2n).
    // Afterwards re()/im() no longer hold the spectrum.
    void inverse(float* out) noexcept;

    // This instance's aligned n-float frame buffer, for building a frame in place.
    float* frameBuffer() noexcept { return time_; }

    // The packed spectrum, n/2 floats each; read and scaled in place between the transforms.
    float* re() noexcept { return re_; }
    float* im() noexcept { return im_; }
    const float* re() const noexcept { return re_; }
    const float* im() const noexcept { return im_; }

private:
    struct Plans;
    static const Plans* plansFor(std::int64_t n, Planning planning,
                                 const std::filesystem::path& wisdom = {});

    std::int64_t n_;
    const Plans* plans_;
    float* re_;
    float* im_;
    float* time_;    // n floats: FFTW's real-side buffer (aligned as the plans require)
    void* spectrum_; // n/2 + 1 fftwf_complex: FFTW's complex-side buffer
};

} // namespace taln
