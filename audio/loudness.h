#pragma once

// Loudness: EBU R128 integrated loudness, and the plan that normalises a recording to a
// target under the true-peak ceiling, in two streaming passes and no copy of the audio.
//
// 1. Measuring (Meter, or measure() over chunks): libebur128 filters the channels (K-weighting)
//    and gives the mean square of every 400 ms block, 100 ms apart; the integrated loudness is
//    gated from those blocks as ITU-R BS.1770-4 gates it (blocks under -70 LUFS, then those
//    10 LU under the mean of the rest, left out). Channels weigh by their place: a mono or
//    front channel 1, a side or back one 1.41, the LFE nothing. The same pass keeps, per 64
//    frames, the peak and the energy of the audio, for step 2.
// 2. Planning (plan()): the gain that brings the integrated loudness to the target. Where that
//    gain would lift the true peak (between samples, estimated at four times the rate) above
//    the limiter's threshold, the limiter (Normaliser) lowers the gain around those peaks,
//    which lowers the loudness a little: the plan runs the limiter over the 64-frame peaks
//    and energies and raises the gain by what it takes away, by up to kMaxCorrectionDb, until
//    the predicted loudness is within 0.01 LU of the target. Without limiting the prediction
//    is the measurement plus the gain; with it, on speech, clicks, pink noise and a chord
//    brought to -9, -16 and -23 LUFS, it came within 0.02 LU of the written file's loudness,
//    and within 0.11 LU for speech with clicks at -10 dBFS brought up 24 dB (the limiter's
//    loss weighed by plain energy, where loudness weighs high frequencies more).
// 3. Writing (Normaliser): the gain and the limiter applied to the audio in order as it is
//    written.
// A target that cannot be reached is said in the Report: audio under 0.4 s or silent has no
// loudness to measure (it is written with the limiter alone); a click or a stretch of peaks
// that the limiter would have to flatten by more than kMaxCorrectionDb stays short of the
// target; and a target so low that most of the audio falls under the -70 LUFS gate is measured
// on what is left.
//
// The limiter's threshold is kTruePeakCeiling less kLimiterMarginDb, and for a lossy encoding
// less kLossyMarginDb too: AAC and Opus move peaks when they encode.
// Memory: 8 bytes per 64 frames (60 MB for a 3-hour recording at 44.1 kHz, against its 3.8 GB
// of stereo samples) and 8 bytes per 100 ms.
// Thread contract: any thread, several at once; no shared state.
// Errors: std::invalid_argument for channels of unequal length or a rate below 1 Hz;
// std::bad_alloc when libebur128 cannot allocate.

#include "audio/audio_format.h"
#include "audio/channels.h"
#include "audio/chunked_audio.h"
#include "audio/write_control.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <vector>

namespace taln::Loudness {

// The highest true peak a normalised export reaches, in dBTP: the ceiling EBU R128 sets
// for distribution.
inline constexpr double kTruePeakCeiling = -1.0;

// The limiter aims this far below the ceiling: a measurement with another interpolation
// filter (FFmpeg's ebur128 filter resamples to 192 kHz) reads the peak of a click up to
// 0.3 dB higher than this limiter's estimate, and the gain changing between samples moves
// peaks by a few hundredths of a dB.
inline constexpr double kLimiterMarginDb = 0.5;

// And this much further for AAC and Opus, whose encoding lifts peaks. A lossy export is
// decoded again as it is written and its true peak checked; where it still passes the ceiling
// (CeilingPassed), it is written again with that much more margin. The margin, measured with
// FFmpeg's ebur128 filter after encoding at 96 kbit/s per channel: on speech with clicks, a
// chord and pink noise normalised with light limiting, FFmpeg's AAC encoder lifted the true
// peak by up to 0.4 dB, libopus by up to 1.5 dB (pink noise; 0.6 dB on the others); heavy
// limiting (speech over noise brought to -9 LUFS or louder) by 2 to 6 dB, the most at a
// recording's very start, which the check catches.
inline constexpr double kLossyMarginDb = 1.0;

// The check of a lossy export: FFmpeg's ebur128 filter (192 kHz) reads a peak up to 0.3 dB
// higher than TruePeak's estimate, so the estimate must stay this far under the ceiling.
inline constexpr double kEstimateMarginDb = 0.3;

// The target of the window's "Normalise loudness" export option, in LUFS: the level the
// common podcast and streaming platforms play speech at.
inline constexpr double kDefaultTarget = -16.0;

// Within this many LU of the target counts as reached.
inline constexpr double kToleranceLu = 0.1;

// The most the gain may rise above the plain gain to make up for what the limiter takes away.
inline constexpr double kMaxCorrectionDb = 6.0;

// The limiter: its gain starts falling this long before a peak, so it reaches its level by the
// peak without a step (a step would be a click); 5 ms keeps transients' attack audible and
// stays below audible distortion. It recovers towards 1 with a 100 ms time constant, slow
// enough not to modulate low notes (a 50 Hz cycle is 20 ms), fast enough not to dip whole
// words.
inline constexpr double kLookAheadSeconds = 0.005;
inline constexpr double kReleaseSeconds = 0.1;

// Frames per stretch of the peak and energy table the plan predicts the limiter with.
inline constexpr std::int64_t kTileFrames = 64;

enum class Encoding { lossless, lossy };

// What a measuring pass found (Meter::finish, measure()).
struct Measurement {
    int sampleRate = 0;
    std::int64_t frames = 0;
    // LUFS; -infinity when every block is gated out as silence or there is none.
    double integrated = -std::numeric_limits<double>::infinity();
    // Each 400 ms block's channel-weighted mean square of the K-weighted audio, block i
    // starting at i × 100 ms.
    std::vector<double> blocks;
    // Per kTileFrames frames, each 100 ms hop cut into tilesPerHop of them (the last one
    // shorter): the largest magnitude of any channel (with the midpoints between samples
    // estimated), and the channel-weighted sum of squares.
    int tilesPerHop = 1;
    std::vector<float> tilePeaks;
    std::vector<float> tileEnergies;
};

// How close a normalised export comes to its target, for the user.
struct Report {
    enum class Shortfall {
        none,     // within kToleranceLu of the target
        tooShort, // under 0.4 s: no block to measure; written with the limiter alone
        silent,   // every block under -70 LUFS; written with the limiter alone
        limited,  // the limiter holds the peaks down, and the loudness with them
        gated,    // the target puts most blocks under the -70 LUFS gate
    };
    double target = 0.0;
    double measured = -std::numeric_limits<double>::infinity(); // the audio's own, LUFS
    // The loudness written, as the plan predicts it (before any lossy encoding), LUFS.
    double achieved = -std::numeric_limits<double>::infinity();
    double gainDb = 0.0; // the gain applied before the limiter
    Shortfall shortfall = Shortfall::none;
    // A lossy export's true peak once encoded and decoded again, dBTP; NaN for the others.
    double encodedPeakDbtp = std::numeric_limits<double>::quiet_NaN();

    bool reached() const { return shortfall == Shortfall::none; }
};

// Why a normalised export missed its target, for people, one sentence; empty when it was
// reached. The window and taln-clean both say it in these words. "The export is at -13.1 LUFS,
// not -6.0 LUFS: any louder would push its peaks past -1 dBTP."
std::string describe(const Report& report);

// What the Normaliser applies.
struct Plan {
    double gainDb = 0.0;
    double thresholdDbtp = kTruePeakCeiling - kLimiterMarginDb; // the limiter's
    // A lossy writer decodes what it encodes again: true, it stops with CeilingPassed once the
    // peaks pass the ceiling; false (the last of several tries), it only measures them.
    bool stopPastCeiling = true;
    Report report;
};

// The plan that brings `measured` audio to `targetLufs`, the limiter's threshold lowered by
// `extraMarginDb` more for an export written again after CeilingPassed.
Plan plan(const Measurement& measured, double targetLufs, Encoding encoding,
          double extraMarginDb = 0.0);

// Thrown by a lossy writer checking its peaks (TrackEncoder::checkCeiling) once the encoded
// audio, decoded again, passes the ceiling: the export stops with nothing written, to be
// written again with a plan that leaves excessDb() more margin (AudioExporter::write and
// VideoExporter::write do so themselves).
class CeilingPassed : public std::exception {
public:
    explicit CeilingPassed(double excessDb) : excessDb_(excessDb) {}
    double excessDb() const { return excessDb_; }
    const char* what() const noexcept override {
        return "The encoded audio passes the true-peak ceiling.";
    }

private:
    double excessDb_;
};

// Measures `audio` (`format` gives its rate and layout) in one pass over its chunks,
// reporting into `progress` and stopping with WriteCancelled when it says so.
Measurement measure(const ChunkedAudio& audio, const AudioFormat& format,
                    const PassProgress& progress);

// Integrated loudness in LUFS of channels in the standard layout for their count;
// -infinity when every 400 ms block is gated out as silence (or there is none).
double integrated(const Channels& channels, double sampleRate);

// The loudness, in LUFS, of blocks of the given mean squares, gated as BS.1770-4 gates them.
double gatedLoudness(const std::vector<double>& blocks);

} // namespace taln::Loudness
