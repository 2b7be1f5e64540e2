#pragma once

// Loudness: EBU R128 integrated loudness of Channels, and normalising it for export.
//
// Loudness is measured by libebur128 (K-weighting, gated integrated loudness in LUFS; a mono
// channel weighs as one front channel, as FFmpeg's ebur128 filter weighs it). Normalising
// applies one gain to reach the target, and where that gain would lift the true peak (the
// peak between samples, estimated at four times the rate) above kTruePeakCeiling, a
// look-ahead limiter lowers the gain around those peaks only: 5 ms of look-ahead in which
// the gain ramps down, then a 100 ms release, the same gain on every channel so the stereo
// image stays put. No sample is ever clipped. Since limiting lowers the loudness a little,
// the gain is corrected from a new measurement, up to a few times, until the result lands
// within 0.1 LU of the target.
//
// Every export writer takes Channels, so normalising is a step before writing: it returns
// new Channels and leaves its argument alone.
// Memory: the result (one float per input sample) and a few milliseconds of limiter state.
// Thread contract: any thread, several at once; no shared state.
// Errors: std::invalid_argument for channels of unequal length or a rate below 1 Hz;
// std::bad_alloc when libebur128 cannot allocate.

#include "audio/channels.h"

namespace taln::Loudness {

// The highest true peak a normalised export reaches, in dBTP: the ceiling EBU R128 sets
// for distribution, leaving room for lossy encoders' overshoot.
inline constexpr double kTruePeakCeiling = -1.0;

// The target of the window's "Normalise loudness" export option, in LUFS: the level the
// common podcast and streaming platforms play speech at.
inline constexpr double kDefaultTarget = -16.0;

// Integrated loudness in LUFS; -infinity when every 400 ms block is gated out as silence
// (or the channels are shorter than one block).
double integrated(const Channels& channels, double sampleRate);

// Highest true peak over all channels, in dBTP; -infinity for digital silence.
double truePeak(const Channels& channels, double sampleRate);

// `channels` brought to `targetLufs` integrated loudness with no true peak above
// kTruePeakCeiling. Channels without a measurable loudness (silence, under 400 ms) come
// back unchanged.
Channels normalise(const Channels& channels, double sampleRate, double targetLufs);

} // namespace taln::Loudness
