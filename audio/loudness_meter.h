#pragma once

// Loudness::Meter: the measuring pass of a normalised export, fed the audio in order, in
// stretches of any length (taln-clean feeds each stretch as soon as it is cleaned).
//
// libebur128 (mode M) filters the audio; the meter splits what it is given at every 100 ms so
// that it reads each 400 ms block's loudness just as the block ends, and keeps the 64-frame
// peaks and energies the plan needs (see loudness.h).
// Cost: 0.6 s of processor time for ten minutes of stereo at 44.1 kHz, three quarters of it
// libebur128's filters.
// Memory: a stretch of 100 ms interleaved, and the Measurement as it grows.
// One thread at a time. Errors: std::bad_alloc when libebur128 cannot allocate;
// std::invalid_argument for a layout or channel count that does not fit.

#include "audio/audio_format.h"
#include "audio/loudness.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace taln::Loudness {

class Meter {
public:
    // For `channelCount` channels (1 to 8) of `format`'s rate (kLowestRate to kHighestRate) and
    // layout; std::invalid_argument otherwise. libebur128 takes 16 Hz up but corrupts its own
    // memory at 16 and 17 Hz, and its weighting filter (a shelf at 1.5 kHz) means nothing far
    // below 1 kHz; Taln decodes 8 kHz and up.
    static constexpr int kLowestRate = 1000;
    static constexpr int kHighestRate = 2822400;
    Meter(int channelCount, const AudioFormat& format);
    ~Meter();
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    // The next `frames` frames: channels[c] points at channel c's samples.
    void add(std::span<const float* const> channels, std::int64_t frames);

    // The measurement of everything added. Call once.
    Measurement finish();

private:
    void addToFilter(std::span<const float* const> channels, std::int64_t from, std::int64_t n);
    void addToTiles(std::span<const float* const> channels, std::int64_t from, std::int64_t n);
    void closeTile();

    struct Filter; // libebur128's state
    std::unique_ptr<Filter> filter_;
    int channelCount_;
    std::int64_t hop_;               // frames per 100 ms, as libebur128 counts them
    std::int64_t intoHop_ = 0;       // frames added since the last hop ended
    std::int64_t hops_ = 0;          // hops ended so far
    std::array<float, 8> weights_{}; // each channel's weight in the energy table
    std::vector<float> interleaved_;
    float tilePeak_ = 0.0f;
    std::array<float, 8> tileEnergies_{};           // each channel's, summed in order
    std::array<std::array<float, 3>, 8> history_{}; // each channel's last three samples
    std::int64_t intoTile_ = 0;
    Measurement result_;
};

} // namespace taln::Loudness
