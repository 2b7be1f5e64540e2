// hum_levels: prints HumDetector's statistic (each candidate's line level over its
// neighbourhood, dB) and the lines it finds, for synthetic recordings of 20 s: speech with
// pauses over stationary noise, with mains hum, with none, with a fan tone, or with a voice or
// an instrument held in the pauses. The figures behind the detector's threshold.

#include "engine/cleaner.h"
#include "engine/hum_detector.h"

#include "tests/engine/test_signals.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace {

using namespace taln;
using testsignals::Colour;

constexpr double kRate = 44100.0;
constexpr std::int64_t kSamples = 20 * 44100;

double fromDb(double db) {
    return std::pow(10.0, db / 20.0);
}

void add(std::vector<float>& x, const std::vector<float>& y, double gain = 1.0) {
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] += static_cast<float>(gain * y[i]);
    }
}

struct Case {
    std::string name;
    std::function<void(std::vector<float>&, const std::vector<std::uint8_t>&)> extra;
    Colour colour;
    double noiseDb;
};

} // namespace

int main() {
    std::vector<std::uint8_t> gaps;
    const std::vector<float> voice = testsignals::speech(kSamples, kRate, 7, 0.5f, &gaps);
    std::vector<Case> cases;
    for (double base : {50.0, 60.0}) {
        for (bool harmonics : {false, true}) {
            for (double db : {-40.0, -50.0, -60.0, -70.0}) {
                for (auto [colour, noiseDb] : {std::pair{Colour::white, -60.0},
                                               {Colour::pink, -45.0},
                                               {Colour::brown, -40.0}}) {
                    char name[96];
                    std::snprintf(name, sizeof name, "hum %g Hz%s %g dB, %s %g", base,
                                  harmonics ? "+h" : "", db,
                                  colour == Colour::white  ? "white"
                                  : colour == Colour::pink ? "pink"
                                                           : "brown",
                                  noiseDb);
                    cases.push_back(
                        {name,
                         [=](std::vector<float>& x, const auto&) {
                             add(x, testsignals::hum(kSamples, base, fromDb(db), harmonics));
                         },
                         colour, noiseDb});
                }
            }
        }
    }
    for (auto [colour, name] :
         {std::pair{Colour::white, "white"}, {Colour::pink, "pink"}, {Colour::brown, "brown"}}) {
        for (double noiseDb : {-60.0, -40.0, -30.0}) {
            cases.push_back({std::string("no hum, ") + name + " " + std::to_string(int(noiseDb)),
                             [](std::vector<float>&, const auto&) {}, colour, noiseDb});
        }
    }
    for (double db : {-40.0, -55.0}) {
        cases.push_back({"fan 175 Hz +h " + std::to_string(int(db)) + " dB, pink -45",
                         [=](std::vector<float>& x, const auto&) {
                             // Blade tone with its second and third harmonics.
                             std::vector<float> fan(kSamples);
                             for (std::int64_t i = 0; i < kSamples; ++i) {
                                 const double p = 2.0 * std::numbers::pi * 175.0 * i / kRate;
                                 fan[i] = static_cast<float>(std::sin(p) + 0.5 * std::sin(2 * p) +
                                                             0.3 * std::sin(3 * p));
                             }
                             add(x, fan, fromDb(db));
                         },
                         Colour::pink, -45.0});
    }
    for (double hz : {100.0, 200.0, 300.0}) {
        for (double depth : {0.0, 0.005, 0.015, 0.03}) {
            for (bool isVoice : {true, false}) {
                char name[96];
                std::snprintf(name, sizeof name, "%s held %g Hz vib %.1f%%, pink -50",
                              isVoice ? "voice" : "instrument", hz, depth * 100);
                cases.push_back({name,
                                 [=](std::vector<float>& x, const std::vector<std::uint8_t>& g) {
                                     add(x, testsignals::heldTone(kSamples, hz, depth,
                                                                  fromDb(-35.0), isVoice, g));
                                 },
                                 Colour::pink, -50.0});
            }
        }
    }

    std::printf("%-44s %5s %3s", "case", "q/med", "seg");
    for (int c = 0; c < HumDetector::kCandidates; ++c) {
        std::printf(" %4g", HumDetector::candidateHz(c));
    }
    std::printf("  found\n");
    for (const Case& c : cases) {
        std::vector<float> x = voice;
        add(x, testsignals::colouredNoise(kSamples, c.colour, fromDb(c.noiseDb), 5));
        c.extra(x, gaps);
        const Cleaner::NoiseEstimate estimate = Cleaner::estimateNoiseDetailed(x);
        const auto levels = HumDetector::lineLevels(x, estimate.frames, kRate);
        std::printf("%-44s %5.3f %3d", c.name.c_str(), estimate.quietToMedian, levels.segments);
        for (float v : levels.db) {
            std::printf(" %4.0f", v);
        }
        std::printf("  hum");
        for (int hz : HumDetector::mainsHz(HumDetector::detect(x, estimate.frames, kRate))) {
            std::printf(" %d Hz", hz);
        }
        std::printf("\n");
    }
    return 0;
}
