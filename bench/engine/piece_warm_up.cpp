// How long a cleaning piece's warm-up must be for the piece to equal the whole-channel run.
//
// Two 60-second channels at 44,100 Hz, each cleaned once whole with every hum notch on (their
// 1.7 Hz wide 50 Hz notch settles slowest): speech-like over noise with a strong 50/60 Hz hum,
// and a hum tone over faint noise, where the notches' settling is nearly all the output holds
// once the hum is gone (the hardest case: the error is relative to that faint output). Then for
// each warm-up length, 1-second pieces starting at 24 places (inside syllables, in pauses, every
// phase of the hum) are cleaned alone from an input that starts that warm-up earlier (on the
// 512-sample frame grid) and ends one frame after the piece. Printed: the worst relative RMS
// error of a piece against the same stretch of the whole run, per strength.
//
//   engine_piece_warm_up

#include "engine/cleaner.h"

#include "tests/engine/test_signals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

using namespace taln;

constexpr double kRate = 44100.0;
constexpr std::int64_t kSamples = 60 * 44100;
constexpr std::int64_t kPiece = 44100;

std::vector<float> humming(bool speech) {
    std::vector<float> x = speech ? testsignals::speechLike(kSamples, kRate, 77)
                                  : testsignals::whiteNoise(kSamples, 0.005f, 78);
    const double twoPi = 2.0 * std::numbers::pi;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        x[i] += static_cast<float>(0.1 * std::sin(twoPi * 50.0 * t) +
                                   0.05 * std::sin(twoPi * 100.0 * t + 1.0) +
                                   0.03 * std::sin(twoPi * 60.0 * t + 2.0));
    }
    return x;
}

double relativeRms(const float* got, const float* want, std::int64_t count) {
    double err = 0.0;
    double ref = 0.0;
    for (std::int64_t i = 0; i < count; ++i) {
        const double d = static_cast<double>(got[i]) - static_cast<double>(want[i]);
        err += d * d;
        ref += static_cast<double>(want[i]) * static_cast<double>(want[i]);
    }
    return ref > 0.0 ? std::sqrt(err / ref) : std::sqrt(err);
}

void measure(const char* what, const std::vector<float>& x) {
    const std::vector<float> noise = Cleaner::estimateNoise(x);
    const CancelToken token;
    const float strengths[] = {0.05f, 0.6f, 1.0f};
    const double warmUps[] = {0.0, 0.25, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0,
                              3.5, 4.0,  4.5, 5.0, 6.0, 8.0, 10.0};

    // Piece starts between 11 s and 48 s, 1.55 s apart: not a multiple of the 0.25 s syllable,
    // the 512-sample hop or the hum's period, so they land everywhere in all three.
    std::vector<std::int64_t> starts;
    for (int i = 0; i < 24; ++i) {
        starts.push_back(static_cast<std::int64_t>((11.0 + 1.55 * i) * kRate) + 37 * i);
    }

    std::vector<std::vector<float>> whole;
    for (const float s : strengths) {
        whole.push_back(*Cleaner::clean(x, noise, s, kRate, token));
    }

    std::printf("\n%s: worst relative RMS error of a 1-s piece vs the whole run (%zu pieces)\n",
                what, starts.size());
    std::printf("warm-up s  samples   s=0.05     s=0.6      s=1.0\n");
    for (const double w : warmUps) {
        const auto warm = static_cast<std::int64_t>(w * kRate);
        std::printf("%8.2f %8lld", w, static_cast<long long>(warm));
        for (std::size_t k = 0; k < std::size(strengths); ++k) {
            double worst = 0.0;
            for (const std::int64_t begin : starts) {
                const std::int64_t inBegin = std::max<std::int64_t>(0, (begin - warm) / 512 * 512);
                const std::int64_t inEnd = std::min(begin + kPiece + 2048, kSamples);
                const std::span<const float> input(x.data() + inBegin,
                                                   static_cast<std::size_t>(inEnd - inBegin));
                const std::vector<float> piece =
                    *Cleaner::clean(input, noise, strengths[k], kRate, token);
                worst = std::max(worst, relativeRms(piece.data() + (begin - inBegin),
                                                    whole[k].data() + begin, kPiece));
            }
            std::printf("  %9.2e", worst);
        }
        std::printf("\n");
    }
}

} // namespace

int main() {
    measure("speech, noise and hum", humming(true));
    measure("hum tone over faint noise", humming(false));
    return 0;
}
