#pragma once

// VideoStreams: what VideoExporter needs to know of a source's streams and to carry them over
// to the new file: the container a destination names, which streams are video, the bit rate
// a stream states, the properties and chapters copied, and when the first sound plays.
// Any thread; no state.

#include "audio/channel_layouts.h"
#include "audio/ffmpeg_handles.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace taln::VideoStreams {

struct Container {
    const char* muxer;           // FFmpeg's name for it
    ChannelLayouts::Codec codec; // of the new sound
    const char* name;            // people's: "MP4", "QuickTime", "Matroska", "WebM"
};

// The container `path`'s extension (any case) names: .mp4 and .m4v as MP4, .mov as
// QuickTime, .mkv as Matroska (all with AAC), .webm as WebM (with Opus).
std::optional<Container> containerFor(const std::filesystem::path& path);

// Whether `stream` is a video (a cover picture of an audio file is not).
bool isVideoStream(const AVStream& stream);

// The stream's bit rate: the codec's, else the "BPS" statistics tag Matroska writers such as
// mkvmerge leave; 0 when neither says.
std::int64_t sourceBitRate(const AVStream& stream);

// Dispositions and metadata from `in` to `out`; for a copied stream (not `replaced`) also its
// time base, frame rates, aspect ratio and side data. A replaced stream does not take the
// metadata that describes the old encoding (encoder, statistics).
void copyStreamProperties(const AVStream& in, AVStream& out, bool replaced);

// The container's chapters, with their metadata.
void copyChapters(const AVFormatContext& in, AVFormatContext& out);

// When the first decoded sample of stream `index` plays, in the stream's time base
// (AV_NOPTS_VALUE when unknown). Decoded, not read from the header: what a stream's start
// time counts differs among demuxers (MP4's includes the encoder's priming skipped by an
// edit list, Matroska's Opus does not include its codec delay), while the decoder's first
// frame carries the time of the first sample a player plays, which is the first sample
// Taln's decoder keeps.
std::int64_t firstSampleTime(const std::filesystem::path& path, int index);

// Whether a muxer of `format` can hold a copy of a stream of `parameters`, as FFmpeg's table of
// what the muxer writes says (attachments: Matroska alone); true where the table does not
// know.
bool holds(const AVOutputFormat& format, const AVCodecParameters& parameters);

// A stream as people name it: its codec and kind ("the h264 video", "the subrip subtitles",
// "the ac3 audio"), or "an attachment".
std::string describeStream(const AVCodecParameters& parameters);

// Keeps a copied stream's codec tag when the muxer knows it for that codec (or has no
// table), else lets the muxer choose (as FFmpeg's own stream copy does).
void fitCodecTag(const AVOutputFormat& format, AVCodecParameters& parameters);

} // namespace taln::VideoStreams
