#pragma once

// VideoExporter: a video file with its first audio stream replaced by the cleaned audio.
//
// The result has the source's container (chosen by the destination's extension: .mp4 and
// .m4v as MP4, .mov as QuickTime, .mkv as Matroska, .webm as WebM) and every stream of the
// source in the same order: video, further audio tracks, subtitles and attachments are
// copied packet for packet, never re-encoded, with their time bases, codec parameters,
// dispositions, metadata (language tags) and side data (a phone video's rotation); the
// container's metadata and chapters are copied too. Only streams of a codec FFmpeg does not
// know (a phone's private timed metadata) are left out, since no muxer can write them;
// attachments are kept whatever they hold. With Options::keepOriginalAudio the source's first
// audio stream is also copied, packet for packet, right after the new one, titled "Original"
// (the title tag; in MP4 and QuickTime, which keep no title, the handler's name, which
// players show instead) and not the default: players start with the cleaned sound and offer
// the original.
//
// The new sound is the audio given, at its own rate and layout (AudioFormat: the decoder's
// reading of that stream), every channel at its own level: AAC (FFmpeg's native encoder;
// .mp4, .m4v, .mov, .mkv) or Opus (libopus; .webm) at the source stream's bit rate or
// 96,000 bit/s per channel, whichever is higher (a Matroska file from FFmpeg states no bit
// rate for its audio: it gets the 96,000). Rates and layouts the codec cannot hold are mapped
// as ChannelLayouts says (Opus is always 48 kHz). The audio is read from its chunks as it is
// encoded, in step with the copied packets, and normalised on the way with
// Options::loudness (after a measuring pass over the chunks).
//
// The audio's first sample plays where the source's first decoded sample played, so picture
// and sound stay in step. An encoder puts its priming (silence decoders skip or play) before
// the first sample. Where the priming falls before 0 in MP4, an edit list has players skip
// it; everywhere else (audio that starts later, Matroska, which marks no priming for AAC and
// takes no time before 0) the first priming's worth of sound is dropped instead (21 ms of AAC
// at 48 kHz), so that the new stream starts where the old one did. Durations match within one
// encoder frame.
//
// Writing is atomic as for every export (ReplacingFile): a failure or a cancel (the
// WriteControl, read at every packet) leaves any earlier file at the destination untouched
// and no partial file behind.
// Memory: the muxer's interleaving queue plus one encoder frame and 4,096 frames of scratch
// per channel; packets are copied one at a time.
// Thread contract: any thread; blocks until the file is complete.
// Errors: std::invalid_argument (nothing written) for audio that cannot be written, a
// destination extension that is not a video container, a source without video
// (Wording::noVideo: "<source's name> has no video; write .m4a or .wav"), and a stream the
// destination's container cannot hold ("talk (Taln).webm: WebM cannot hold the h264 video of
// talk.mp4; write .mp4 (MP4), the source's own container"); TalnError::noAudio for a source
// without an audio stream, TalnError::notMedia for a source that would make FFmpeg read
// other files (FfmpegInput); WriteCancelled; otherwise a FileError with FFmpeg's or
// the system's code and message.

#include "audio/audio_exporter.h"
#include "audio/audio_format.h"
#include "audio/chunked_audio.h"
#include "audio/loudness.h"
#include "audio/write_control.h"

#include <filesystem>
#include <optional>

namespace taln::VideoExporter {

struct Options {
    // Also copy the source's first audio stream, as a second audio track titled "Original".
    bool keepOriginalAudio = false;
    // Normalised to this integrated loudness, in LUFS, the true peak under the ceiling after
    // encoding.
    std::optional<double> loudness;
    // With `loudness`: the audio's measurement, taken before, as AudioExporter::Options says.
    const Loudness::Measurement* measured = nullptr;
};

// Whether `path`'s extension (any case) names a video container this exporter writes.
bool isVideoPath(const std::filesystem::path& path);

// Whether `source` holds a video stream (a cover picture of an audio file does not count), for
// a caller that has not decoded it (AudioDecoder::Decoded::hasVideo says as much). FileError
// when the file cannot be opened.
bool hasVideo(const std::filesystem::path& source);

// Writes `source` to `destination` with its first audio stream replaced by `audio`
// (`format` gives its rate, layout and depth). The source is read to its end before the new
// file takes its place, so `destination` may be `source` itself.
AudioExporter::Written write(const ChunkedAudio& audio, const AudioFormat& format,
                             const std::filesystem::path& source,
                             const std::filesystem::path& destination, const Options& options = {},
                             const WriteControl& control = {});

} // namespace taln::VideoExporter
