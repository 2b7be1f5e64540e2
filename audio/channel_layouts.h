#pragma once

// ChannelLayouts: which layout and rate each encoder writes a recording's channels at.
//
// A layout is an FFmpeg native channel mask (AudioFormat::channelMask); 0 stands for FFmpeg's
// standard layout for the channel count (mono, stereo, 2.1, 4.0, 5.0, 5.1, 6.1, 7.1).
//
// WAV and FLAC carry any layout (WAV in its WAVE_FORMAT_EXTENSIBLE header, FLAC in the
// WAVEFORMATEXTENSIBLE_CHANNEL_MASK tag FFmpeg's muxer writes), so they keep the source's.
// AAC and Opus carry a fixed set; a layout outside it is written as the one of that set with
// the same channel count that shares the most channels with it, each channel going to the
// position of the same name (a side channel to the back one on its side where the set has no
// side channels), the others in their order: 5.1 with side channels becomes AAC's 5.1 with
// back channels, nothing mixed, nothing dropped. The sets, as FFmpeg 5.1 reads them back:
//   AAC:  mono, stereo, 2.1, 3.0, 4.0, quad, 5.0, 5.1, 6.1, 7.1 (the encoder takes more through
//         a program config element, but FFmpeg reads those back as channels without a layout;
//         6.1, the one seven-channel layout, only reads back that way);
//   Opus: mono, stereo, 3.0, quad, 5.0, 5.1, 6.1, 7.1 (Vorbis channel order, all libopus takes).
//
// Rates: WAV and FLAC keep the source's. AAC holds 7,350 to 96,000 Hz in 13 steps: a rate it
// holds is kept; 176,400 and 192,000 Hz go to half their rate (88,200 and 96,000: the same
// family, a 2:1 resampling); any other rate to the nearest AAC rate. Opus in WebM is always
// 48 kHz: FFmpeg 5.1's Matroska muxer counts an Opus encoder's priming at 48 kHz, and every
// Opus decoder plays at 48 kHz.
// Any thread; no state.

#include <array>
#include <cstdint>

namespace taln::ChannelLayouts {

enum class Codec { pcm, flac, aac, opus };

// `mask`, or the standard layout for `channelCount` when `mask` is 0.
// std::invalid_argument when `mask` does not name exactly `channelCount` channels, or the
// count is not 1 to 8.
std::uint64_t maskFor(std::uint64_t mask, int channelCount);

// The channel at position `index` of `mask` (an AVChannel: AV_CHAN_FRONT_LEFT, ...).
int channelAt(std::uint64_t mask, int index);

// How an encoder's layout takes a recording's channels: output channel i is input channel
// from[i].
struct Mapping {
    std::uint64_t mask = 0;
    std::array<int, 8> from{0, 1, 2, 3, 4, 5, 6, 7};

    bool keepsOrder() const;
};

// The layout `codec` writes channels of layout `mask` (as given by maskFor) at.
Mapping mappingFor(Codec codec, std::uint64_t mask);

// The rate `codec` writes audio of `rate` hertz at.
int rateFor(Codec codec, int rate);

} // namespace taln::ChannelLayouts
