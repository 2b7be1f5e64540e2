#include "engine/real_fft.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <complex>
#include <numbers>
#include <numeric>
#include <thread>
#include <vector>

namespace taln {
namespace {

constexpr int kN = 2048;
constexpr int kHalf = kN / 2;

// Exact-valued inputs (impulse, constant, alternating) give results whose error comes only
// from twiddle rounding: a few ulps of the largest value, 4096.
constexpr float kExactTol = 1e-3f;

TEST(RealFFT, ImpulseConstantAndAlternatingGivePackedTwiceTheDft) {
    RealFFT fft(kN);
    std::vector<float> frame(kN, 0.0f);

    frame[0] = 1.0f; // X[k] = 1 for every k
    fft.forward(frame.data());
    for (int k = 0; k < kHalf; ++k) {
        ASSERT_NEAR(fft.re()[k], 2.0f, kExactTol) << "bin " << k;
        ASSERT_NEAR(fft.im()[k], k == 0 ? 2.0f : 0.0f, kExactTol) << "bin " << k;
    }

    std::fill(frame.begin(), frame.end(), 1.0f); // only DC: X[0] = 2048
    fft.forward(frame.data());
    EXPECT_NEAR(fft.re()[0], 4096.0f, kExactTol);
    EXPECT_NEAR(fft.im()[0], 0.0f, kExactTol);
    for (int k = 1; k < kHalf; ++k) {
        ASSERT_NEAR(fft.re()[k], 0.0f, kExactTol) << "bin " << k;
        ASSERT_NEAR(fft.im()[k], 0.0f, kExactTol) << "bin " << k;
    }

    for (int m = 0; m < kN; ++m) { // only Nyquist: X[1024] = 2048, packed into im[0]
        frame[m] = m % 2 == 0 ? 1.0f : -1.0f;
    }
    fft.forward(frame.data());
    EXPECT_NEAR(fft.re()[0], 0.0f, kExactTol);
    EXPECT_NEAR(fft.im()[0], 4096.0f, kExactTol);
    for (int k = 1; k < kHalf; ++k) {
        ASSERT_NEAR(fft.re()[k], 0.0f, kExactTol) << "bin " << k;
        ASSERT_NEAR(fft.im()[k], 0.0f, kExactTol) << "bin " << k;
    }
}

TEST(RealFFT, ForwardMatchesDirectDftIncludingSignOfImaginaryPart) {
    RealFFT fft(kN);
    const std::vector<float> frame = testsignals::whiteNoise(kN, 1.0f, 7);
    fft.forward(frame.data());
    // A direct double-precision DFT at a spread of bins, e^(−2πikm/n) as the contract states.
    for (int k : {1, 2, 3, 100, 511, 512, 777, 1023}) {
        std::complex<double> x = 0.0;
        for (int m = 0; m < kN; ++m) {
            x += static_cast<double>(frame[m]) *
                 std::polar(1.0, -2.0 * std::numbers::pi * k * m / kN);
        }
        // Single-precision FFT of 2048 unit-scale values: error well below 1e-3 of a typical
        // bin magnitude (about 2·sqrt(2048/3) ≈ 52).
        EXPECT_NEAR(fft.re()[k], 2.0 * x.real(), 2e-2) << "bin " << k;
        EXPECT_NEAR(fft.im()[k], 2.0 * x.imag(), 2e-2) << "bin " << k;
    }
}

TEST(RealFFT, RoundTripRestoresTheFrameAndWritesNothingPastIt) {
    RealFFT fft(kN);
    const std::vector<float> input = testsignals::whiteNoise(kN, 1.0f, 3);
    // Sentinels around the caller's frames catch reads or writes of n + 1 values.
    constexpr float kSentinel = 12345.0f;
    constexpr int kGuard = 16;
    std::vector<float> in(kN + 2 * kGuard, kSentinel);
    std::copy(input.begin(), input.end(), in.begin() + kGuard);
    std::vector<float> out(kN + 2 * kGuard, kSentinel);

    fft.forward(in.data() + kGuard);
    fft.inverse(out.data() + kGuard);
    for (int i = 0; i < kGuard; ++i) {
        ASSERT_EQ(out[i], kSentinel);
        ASSERT_EQ(out[kGuard + kN + i], kSentinel);
        ASSERT_EQ(in[i], kSentinel);
        ASSERT_EQ(in[kGuard + kN + i], kSentinel);
    }
    for (int i = 0; i < kN; ++i) {
        ASSERT_EQ(in[kGuard + i], input[i]) << "forward must not change its input";
        // Round trip of unit-scale noise in single precision: a few ulps times log2(n).
        ASSERT_NEAR(out[kGuard + i], input[i], 1e-5f) << "sample " << i;
    }

    std::vector<float> zeros(kN, 0.0f);
    fft.forward(zeros.data());
    fft.inverse(zeros.data());
    for (float v : zeros) {
        ASSERT_EQ(v, 0.0f);
    }
}

TEST(RealFFT, InverseOfAScaledSpectrumIsTheScaledFrame) {
    // The cleaner scales the packed spectrum in place between the transforms; DC and Nyquist
    // live in re[0] and im[0] and must come back as such.
    RealFFT fft(kN);
    const std::vector<float> input = testsignals::whiteNoise(kN, 1.0f, 11);
    fft.forward(input.data());
    for (int k = 0; k < kHalf; ++k) {
        fft.re()[k] *= 0.5f;
        fft.im()[k] *= 0.5f;
    }
    std::vector<float> out(kN);
    fft.inverse(out.data());
    for (int i = 0; i < kN; ++i) {
        ASSERT_NEAR(out[i], 0.5f * input[i], 1e-5f);
    }

    // A spectrum holding only the Nyquist value A in im[0] is (−1)^m·A/(2n).
    std::fill(fft.re(), fft.re() + kHalf, 0.0f);
    std::fill(fft.im(), fft.im() + kHalf, 0.0f);
    fft.im()[0] = 4096.0f;
    fft.inverse(out.data());
    for (int m = 0; m < kN; ++m) {
        ASSERT_NEAR(out[m], m % 2 == 0 ? 1.0f : -1.0f, 1e-6f);
    }
}

TEST(RealFFT, InstancesOnManyThreadsAgreeWithOneThread) {
    // Plans for a length nobody used yet are made while several threads ask for them at once;
    // every instance must still compute the same transform.
    constexpr int kLength = 256;
    const std::vector<float> input = testsignals::whiteNoise(kLength, 1.0f, 5);
    constexpr int kThreads = 8;
    std::vector<std::vector<float>> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            RealFFT fft(kLength);
            fft.forward(input.data());
            results[i].assign(fft.re(), fft.re() + kLength / 2);
            results[i].insert(results[i].end(), fft.im(), fft.im() + kLength / 2);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(results[i], results[0]);
    }
    EXPECT_NEAR(results[0][0], 2.0 * std::accumulate(input.begin(), input.end(), 0.0), 1e-3);
}

// Measured plans are kept in the wisdom file: made with its folder when missing, and a file that
// holds no wisdom is measured over and replaced. (Lengths no other test plans, so that they are
// planned here.)
TEST(RealFFT, MeasuredPlansAreKeptInTheWisdomFile) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("taln-wisdom-test-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    const auto wisdom = folder / "cache" / "fftw-wisdom";
    const auto firstLine = [&] {
        std::ifstream in(wisdom);
        std::string line;
        std::getline(in, line);
        return line;
    };
    RealFFT::prepare(64, RealFFT::Planning::measured, wisdom);
    EXPECT_EQ(firstLine().rfind("(fftw-", 0), 0u) << firstLine();
    std::ofstream(wisdom) << "not wisdom\n";
    RealFFT::prepare(128, RealFFT::Planning::measured, wisdom);
    EXPECT_EQ(firstLine().rfind("(fftw-", 0), 0u) << firstLine();
    // Nothing is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / "cache"),
                            std::filesystem::directory_iterator()),
              1);
    // What is no regular file is never read (a named pipe waited for a writer forever, a link
    // to /dev/zero never ended): the plans are measured and a real file takes its place.
    std::filesystem::remove(wisdom);
    ASSERT_EQ(::mkfifo(wisdom.c_str(), 0600), 0);
    RealFFT::prepare(32, RealFFT::Planning::measured, wisdom);
    EXPECT_EQ(firstLine().rfind("(fftw-", 0), 0u) << firstLine();
    std::filesystem::remove(wisdom);
    std::filesystem::create_symlink("/dev/zero", wisdom);
    RealFFT::prepare(16, RealFFT::Planning::measured, wisdom);
    EXPECT_EQ(firstLine().rfind("(fftw-", 0), 0u) << firstLine();
    std::filesystem::remove_all(folder);
}

TEST(RealFFT, WisdomFileFollowsTheCacheFolderOfTheUser) {
    struct Case {
        const char* xdgCache;
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/x/cache", "/home/a", "/x/cache/taln/fftw-wisdom"},
        {nullptr, "/home/a", "/home/a/.cache/taln/fftw-wisdom"},
        {"relative", "/home/a", "/home/a/.cache/taln/fftw-wisdom"},
        {nullptr, nullptr, ""},
        {"", "relative", ""},
    };
    const char* savedXdg = std::getenv("XDG_CACHE_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string xdg = savedXdg ? savedXdg : "";
    const std::string home = savedHome ? savedHome : "";
    const auto set = [](const char* name, const char* value) {
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    };
    for (const Case& c : cases) {
        set("XDG_CACHE_HOME", c.xdgCache);
        set("HOME", c.home);
        EXPECT_EQ(RealFFT::wisdomFile(), std::filesystem::path(c.expected))
            << (c.xdgCache ? c.xdgCache : "(unset)") << " " << (c.home ? c.home : "(unset)");
    }
    set("XDG_CACHE_HOME", savedXdg ? xdg.c_str() : nullptr);
    set("HOME", savedHome ? home.c_str() : nullptr);
}

} // namespace
} // namespace taln
