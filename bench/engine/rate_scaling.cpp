// What changes when the engine cleans the same recording at another sample rate.
//
// The engine works in samples: frames of 2048 at a hop of 512, whatever the rate. This prints,
// for each engine and one recording made at each rate (the same syllables, pauses and noise in
// seconds: speech
// at a peak of 0.5 over white, pink or brown noise at -30 dBFS RMS, and the same with a 50 Hz
// hum and its harmonics), what the default strength does:
//   pauses   the noise left in the pauses (the voice's exact zeros, trimmed by 50 ms), in dB
//            against the input's pauses;
//   speech   the level of the cleaned speech against the clean voice where it sounds, in dB;
//   hum      the hum lines the detector finds (as a mask) in the noise sample.
//
//   engine_rate_scaling [seconds]        (default 30)

#include "engine/cleaner.h"
#include "engine/hum_detector.h"
#include "engine/noise_sample.h"

#include "tests/engine/test_signals.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using namespace taln;

struct Row {
    double pausesDb = 0.0;
    double speechDb = 0.0;
    unsigned hum = 0;
};

double db(double ratio) {
    return 10.0 * std::log10(std::max(ratio, 1e-30));
}

Row measure(double rate, double seconds, testsignals::Colour colour, bool withHum,
            Cleaner::Engine engine) {
    const auto n = static_cast<std::int64_t>(seconds * rate);
    std::vector<std::uint8_t> gaps;
    const std::vector<float> voice = testsignals::speech(n, rate, 7, 0.5f, &gaps);
    const std::vector<float> noise = testsignals::colouredNoise(n, colour, 0.0316, 11, rate);
    const std::vector<float> buzz = testsignals::hum(n, 50.0, 0.0316, true, rate);
    std::vector<float> x(voice.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = voice[i] + noise[i] + (withHum ? buzz[i] : 0.0f);
    }
    const NoiseSample sample = NoiseSample::measure(x, rate);
    const CancelToken token;
    const std::vector<float> y =
        *Cleaner::clean(x, sample.profile, 0.6f, rate, token, sample.hum, engine, &sample.track);

    // Pauses trimmed by 50 ms on each side, so that no syllable's edge counts as noise.
    const auto trim = static_cast<std::int64_t>(0.05 * rate);
    double inPause = 0.0;
    double outPause = 0.0;
    double voiceEnergy = 0.0;
    double outSpeech = 0.0;
    for (std::int64_t i = trim; i < n - trim; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (gaps[static_cast<std::size_t>(i - trim)] != 0 && gaps[k] != 0 &&
            gaps[static_cast<std::size_t>(i + trim)] != 0) {
            inPause += double(x[k]) * x[k];
            outPause += double(y[k]) * y[k];
        } else if (gaps[k] == 0) {
            voiceEnergy += double(voice[k]) * voice[k];
            outSpeech += double(y[k]) * y[k];
        }
    }
    return {db(outPause / inPause), db(outSpeech / voiceEnergy), sample.hum};
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    const double rates[] = {8000, 16000, 22050, 44100, 48000, 96000, 192000};
    const struct {
        const char* name;
        testsignals::Colour colour;
        bool hum;
    } noises[] = {{"white", testsignals::Colour::white, false},
                  {"pink", testsignals::Colour::pink, false},
                  {"brown", testsignals::Colour::brown, false},
                  {"pink+hum", testsignals::Colour::pink, true}};
    for (const Cleaner::Engine engine : {Cleaner::Engine::adaptive, Cleaner::Engine::reference}) {
        std::printf("%s engine\n%-9s",
                    engine == Cleaner::Engine::adaptive ? "adaptive" : "reference", "rate");
        for (const auto& noise : noises) {
            std::printf("  %-24s", noise.name);
        }
        std::printf("\n%-9s", "");
        for (std::size_t i = 0; i < std::size(noises); ++i) {
            std::printf("  %7s %7s %8s", "pauses", "speech", "hum");
        }
        std::printf("\n");
        for (const double rate : rates) {
            std::printf("%-9.0f", rate);
            for (const auto& noise : noises) {
                const Row row = measure(rate, seconds, noise.colour, noise.hum, engine);
                std::printf("  %7.1f %7.2f %8x", row.pausesDb, row.speechDb, row.hum);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
}
