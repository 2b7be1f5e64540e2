#pragma once

// Cleaner: the noise-reduction engine. Static operations only; nothing survives a call except
// the window table.
//
// Units: samples are 32-bit floats of one channel at the recording's own rate (8 to 192 kHz);
// noise profiles are 1025 bin powers in RealFFT's forward scale (re² + im², which is 4·|DFT|² of
// a windowed 2048-sample frame). Frames are 2048 samples at a hop of 512 under the periodic
// square-root Hann `window`, at every rate.
//
// What scales with the rate and what stays in samples: the pre-filter's corners and notches,
// the noise track and the adaptive gain's time constants, the hum detector's segments and a
// piece's warm-up (CleaningPieces) are in Hz and seconds; the frame and hop stay in samples,
// and so does the choice of noise frames (the quietest tenth of them). The frame was kept on
// this measurement (bench/engine/engine_rate_scaling: 30 s of speech-like syllables over noise
// at -30 dBFS, made at each rate, default strength, adaptive engine; noise left in the pauses
// and the voice's level, in dB):
//
//     rate      white noise       pink noise        brown noise       pink noise + 50 Hz hum
//     (kHz)     pauses  speech    pauses  speech    pauses  speech    pauses  speech
//     44.1      -23.3   -0.10     -25.6   -0.30     -31.7   -0.15     -26.9   -0.35
//     48        -23.4   -0.11     -25.7   -0.34     -32.0   -0.16     -26.9   -0.38
//     96        -23.8   -0.15     -25.7   -0.65     -32.8   -0.35     -27.0   -0.84
//     8         -20.0   -0.11     -22.9   -0.11     -27.5   -0.05     -24.7   -0.13
//
// 48 and 96 kHz clean within 1.1 dB of 44.1 kHz in the pauses and within 0.5 dB in the voice,
// so a frame of 2048 samples (43 ms at 48 kHz, 21 ms at 96 kHz) serves every rate a recording is
// made at; only 8 kHz telephone audio, whose 256 ms frames see fewer pauses, is 3 dB shallower.
//
// Numbers: single precision for samples, spectra and gains; double precision inside the
// pre-filter and for building the window. The engine is compiled without -ffast-math and
// without contraction, so results are the same on every x86-64, with or without AVX2. A channel
// of at least three warm-ups (CleaningPieces::warmUp; 14 s at 44.1 kHz) whose pre-filter has at
// most six sections is pre-filtered in four stretches at once, each from rest a warm-up early
// (BiquadCascade): the one pass over the whole channel to within single-precision rounding.
//
// Threads: every operation may be called from any thread, several at once; they share only the
// read-only window table.
//
// Memory: `clean` allocates its result (one float per input sample) and a few frames of working
// state, whatever the length of the channel: the pre-filter runs block by block ahead of the
// frames, its later stretches held in the result itself until the frames take them, and
// overlap-add goes straight into the result. `estimateNoise` allocates its 1025-value
// result, one energy per hop, one candidate record per frame and one FFT. The caller owns every
// returned array.

#include "engine/cancel_token.h"
#include "engine/noise_track.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace taln {

class Cleaner {
public:
    static constexpr std::int64_t kFrameLength = 2048;
    static constexpr std::int64_t kHop = 512;
    static constexpr std::int64_t kBins = 1025;

    // Frames whose mean square is at or below this (about -90 dBFS) are digital silence or
    // near-silence: never noise candidates (they would pull the profile toward zero), and
    // neither quiet nor loud when the noise sample is judged.
    static constexpr double kSilenceMeanSquare = 1e-9;

    // Which of the pre-filter's sixteen hum-notch candidates are applied: bit i stands for
    // candidate i in filtering order, 50, 100, ..., 400 Hz (bits 0-7), then 60, 120, ..., 480 Hz
    // (bits 8-15). kAllHum is the full comb; kNoHum leaves only the high-pass.
    using HumMask = std::uint16_t;
    static constexpr HumMask kAllHum = 0xFFFF;
    static constexpr HumMask kNoHum = 0;
    // The notches are applied only above this strength, where the user asked for more than a
    // gentle high-pass.
    static constexpr float kNotchStrength = 0.05f;

    // How each frame's gains are found, after the same pre-filter and on the same frames.
    // reference: power spectral subtraction of the one profile (SpectralGain), exactly the
    // cascade Taln was first specified with. adaptive: a speech-presence-aware gain
    // (AdaptiveGain) against the profile raised where the noise rose (NoiseTrack).
    enum class Engine { reference, adaptive };
    // What the window and taln-clean use unless told otherwise. On the quality benchmark
    // (bench/quality/README.md: real speech, nine noises, 0-20 dB SNR) adaptive scores PESQ-WB
    // 2.02 against 1.81, ahead in eight noise classes of nine (babble 1.41 against 1.42), takes
    // the pauses of steady noise 23-30 dB down instead of 13-22, and follows drifting noise; its
    // STOI is 0.895 against 0.897, lower by up to 0.011 on four steady noises.
    static constexpr Engine kDefaultEngine = Engine::adaptive;

    // The 2048-point periodic square-root Hann window; built once, on first use, from any thread.
    // Its squares at a hop of 512 add up to exactly 2 at every sample.
    static const std::array<float, 2048>& window();

    // One channel's noise profile: 1025 bin powers, never below 1e-14: the mean power spectrum of
    // the quietest tenth of the channel's whole frames (at least 4 of them), skipping frames of
    // digital silence, smoothed over ±2 bins. Channels shorter than one frame, or silent ones,
    // get the flat 1e-14 profile. Any thread.
    static std::vector<float> estimateNoise(std::span<const float> samples);

    // What estimateNoise found, with where it looked.
    struct NoiseEstimate {
        // Exactly estimateNoise's result.
        std::vector<float> profile;
        // The frames averaged, ascending: frame f covers samples 512·f … 512·f + 2047 of the span
        // that was passed. For a stretch chosen inside a channel (the span starting at sample
        // `first`), frame f covers channel samples first + 512·f … first + 512·f + 2047. Empty
        // when the profile is the flat floor.
        std::vector<std::int64_t> frames;
        // The averaged frames' mean energy over the median energy of all non-silent frames: near
        // 1 when the quietest stretches are no quieter than the rest (no real pauses), far below
        // 1 when there are pauses. 0 when nothing was averaged; 1 when infinite samples leave
        // no ratio.
        float quietToMedian = 0.0f;
        // The energy (sum of squares) of each 512-sample hop of the span, hop h covering samples
        // 512·h … 512·h + 511: frame f's energy is the sum of hops f … f + 3. Empty for a span
        // shorter than a frame.
        std::vector<float> hopEnergies;
        // The same frames as `frames`, quietest first: the order their spectra are summed in.
        std::vector<std::int64_t> quietestFirst;
    };

    // estimateNoise plus the frames it averaged and how much quieter they are. Any thread.
    static NoiseEstimate estimateNoiseDetailed(std::span<const float> samples);

    // estimateNoiseDetailed in its two steps, for a caller that does something else with the
    // frames while the profile is averaged: which frames (the profile left empty), then their
    // profile, from `quietestFirst` of the same samples. Any thread.
    static NoiseEstimate chooseNoiseFrames(std::span<const float> samples);
    static std::vector<float> averageNoiseFrames(std::span<const float> samples,
                                                 std::span<const std::int64_t> quietestFirst);

    // chooseNoiseFrames with its first step, the hop energies, split into stretches that may be
    // summed at once on several threads: `noiseHops` energies (NoiseEstimate::hopEnergies) for
    // a span of `samples` samples, each stretch of them (energies.size() hops from `firstHop`)
    // summed into `energies` by `sumNoiseHops`, then the frames chosen from all of them. The same
    // result as chooseNoiseFrames, bit for bit. Any thread.
    static std::int64_t noiseHops(std::int64_t samples);
    static void sumNoiseHops(std::span<const float> samples, std::int64_t firstHop,
                             std::span<float> energies);
    static NoiseEstimate chooseNoiseFrames(std::span<const float> samples,
                                           std::vector<float> hopEnergies);

    // One channel cleaned at `strength` (0 ... 1), or nothing when `token` was cancelled.
    // `noise` holds at least 1025 values. Any thread.
    //
    // The result has exactly as many samples as `samples`, with no delay. A strength that is not
    // above 0 (or not a number) returns the input unchanged; one above 1 acts as 1. The token is
    // read at frames 0, 256, 512, ...: a cancellation is noticed within 256 hops (about 3 s of
    // audio at 44.1 kHz). A profile of fewer than 1025 values, or a sample rate that is not
    // positive and finite, stops the program (the caller's fault, never the data's).
    // `hum` chooses the notches the pre-filter applies above s = 0.05. `engine` chooses the
    // gains; the adaptive engine raises `noise` as `track` says (no track: the profile alone),
    // `samples` being the channel's samples from `inputStart` on. A channel of low-frequency
    // effects (`effects`: a 5.1 or 7.1 LFE) keeps its lows: its high-pass sits at
    // kEffectsCorner instead of 40-120 Hz, which would take away what the channel is for.
    static std::optional<std::vector<float>>
    clean(std::span<const float> samples, std::span<const float> noise, float strength,
          double sampleRate, const CancelToken& token, HumMask hum = kAllHum,
          Engine engine = Engine::reference, const NoiseTrack* track = nullptr,
          std::int64_t inputStart = 0, bool effects = false);

    // The high-pass corner of a channel of low-frequency effects, in Hz: below what any LFE
    // carries (its band is 20-120 Hz), above DC and the subsonic drift of a recording.
    static constexpr double kEffectsCorner = 10.0;

    // clean's result over samples [from, from + out.size()) only, written into `out` (whatever
    // it held before), bit for bit the same: true, or false when `token` was cancelled (`out`
    // then holds nothing meaningful). The whole of `samples` is still read: the part before
    // `from` sets the history, the frame after the part's end its last samples. The stretch
    // must lie inside `samples`. Allocates nothing per sample. Any thread.
    static bool cleanPart(std::span<const float> samples, std::span<const float> noise,
                          float strength, double sampleRate, const CancelToken& token, HumMask hum,
                          std::int64_t from, std::span<float> out,
                          Engine engine = Engine::reference, const NoiseTrack* track = nullptr,
                          std::int64_t inputStart = 0, bool effects = false);

private:
    friend class BiquadCascade;
    friend struct CleanerTestAccess;

    // One second-order section, a0 divided out.
    struct Biquad {
        double b0 = 0.0;
        double b1 = 0.0;
        double b2 = 0.0;
        double a1 = 0.0;
        double a2 = 0.0;
    };

    // The pre-filter cascade for strength `s` at `sr` Hz, in filtering order: two high-pass
    // sections (fourth-order Butterworth, corner 40 + 80·s Hz, or kEffectsCorner for a channel
    // of low-frequency effects), then above s = 0.05 the hum notches at the harmonics of 50 and
    // 60 Hz below 1 kHz. At most 18 sections.
    static std::vector<Biquad> prefilterSections(double sr, float s, HumMask hum = kAllHum,
                                                 bool effects = false);

    // The channel through the pre-filter cascade, from rest, computed in double precision and cut
    // into stretches as `clean` cuts it.
    static std::vector<float> prefilter(std::span<const float> samples, double sr, float s,
                                        HumMask hum = kAllHum);

    // Called with each frame index after that frame's cancellation poll; for tests only.
    using FrameObserver = void (*)(std::int64_t frame, void* user);

    static std::optional<std::vector<float>>
    cleanObserved(std::span<const float> samples, std::span<const float> noise, float strength,
                  double sampleRate, const CancelToken& token, FrameObserver observer, void* user,
                  HumMask hum = kAllHum);

    // cleanObserved's result over [from, from + part.size()), into `part`; false when cancelled.
    static bool cleanInto(std::span<const float> samples, std::span<const float> noise,
                          float strength, double sampleRate, const CancelToken& token,
                          FrameObserver observer, void* user, HumMask hum, std::int64_t from,
                          std::span<float> part, Engine engine = Engine::reference,
                          const NoiseTrack* track = nullptr, std::int64_t inputStart = 0,
                          bool effects = false);
};

} // namespace taln
