#pragma once

// AudioExporter: audio -> a WAV, FLAC or M4A file, or a pipe, in the source's own format.
//
// The file keeps the source's rate and its channels (1 to 8) in their layout (AudioFormat):
// - WAV: PCM at the source's depth, little-endian: 16, 24 or 32-bit integers for an integer
//   source, 32-bit float for a float one, 16-bit for a lossy one (an AAC or MP3 has no depth of
//   its own); Options::forceFloat writes float whatever the source. FFmpeg's muxer writes the
//   WAVE_FORMAT_EXTENSIBLE header, with the channel mask, for every layout but plain mono and
//   stereo, and RF64 once the file passes the classic header's 4 GiB. Samples are converted as
//   PcmSamples says (scaled, rounded, saturated; NaN as 0).
// - FLAC: lossless, 16-bit for a 16-bit or lossy source, 24-bit for a deeper or float one.
// - M4A: AAC from FFmpeg's native encoder at 96,000 bit/s per channel in the .m4a flavour of
//   MP4; the layouts and rates AAC cannot hold are mapped as ChannelLayouts says (192 kHz is
//   written at 96 kHz, 5.1 with side channels as AAC's 5.1).
// Both at the rate ChannelLayouts gives, written in steps of 65,536 frames; memory beyond the
// input is one step (and, for a normalised export, the limiter's few milliseconds).
//
// Every writer reads the audio where it lies, in chunks (ChunkedAudio; whole Channels become
// chunks without a copy), follows one WriteControl, and with Options::loudness normalises in
// two passes: Loudness::measure over the chunks (its share of the progress is its share of
// the time), then the gain and the limiter applied while writing (Loudness::Normaliser). A
// normalised M4A whose encoded peaks pass the ceiling is written again with that much more
// margin, up to kWriteAttempts times in all (the progress then goes on from where it was, to
// the end), the last time whatever its peaks; the report gives them.
//
// A file is written to an unnamed temporary file in the destination's folder (a short hidden
// name where the file system cannot make unnamed files; see ReplacingFile) and renamed
// over the destination only when complete, keeping the mode (and owner, where permitted) of
// the file it replaces, so a failure or a cancel leaves any earlier file at the destination
// untouched and nothing beside it. A pipe (Destination::pipe) is written in order instead: a
// WAV with the sizes FFmpeg writes for pipes (0xFFFFFFFF), a FLAC without its total length, an
// M4A as fragmented MP4 (fragments of about a second, the encoder's priming marked by times
// before 0, which FFmpeg 5.1's reader does not trim: 1,024 more samples at the start).
// Thread contract: any thread; blocks until the file is complete.
// Errors: std::invalid_argument before anything is written for audio that cannot be written;
// WriteCancelled; otherwise a FileError with FFmpeg's or the system's code and own message.

#include "audio/audio_format.h"
#include "audio/channels.h"
#include "audio/chunked_audio.h"
#include "audio/loudness.h"
#include "audio/replacing_file.h"
#include "audio/write_control.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

namespace taln::AudioExporter {

enum class Kind { m4a, wav, flac };

using WriteControl = taln::WriteControl;
using WriteCancelled = taln::WriteCancelled;

// The most times a normalised lossy export is written, its margin grown each time its encoded
// peaks pass the ceiling.
inline constexpr int kWriteAttempts = 4;

// What each new try lowers the limiter by beyond what the peaks passed the ceiling by: what
// the encoder adds moves a little with the threshold.
inline constexpr double kRetryStepDb = 0.2;

struct Options {
    // WAV: 32-bit float whatever the source's depth (FLAC and M4A: no effect).
    bool forceFloat = false;
    // Normalised to this integrated loudness, in LUFS, the true peak under the ceiling.
    std::optional<double> loudness;
    // With `loudness`: the audio's measurement, taken before (Loudness::measure over the same
    // audio and format); the measuring pass is then skipped and writing gets all the progress.
    const Loudness::Measurement* measured = nullptr;
};

// What was written: the format in the file, and how near the loudness came to its target.
struct Written {
    AudioFormat format;
    std::optional<Loudness::Report> loudness;
};

// The depth `kind` stores audio of `source`'s depth at: float32, int16, int24, int32, or lossy.
SampleDepth depthFor(Kind kind, SampleDepth source, bool forceFloat);

// The share of a normalised export's progress that goes to measuring, by the time each pass
// takes (for a video, as for M4A: its sound is encoded, the rest copied).
float measuringShare(Kind kind);

// What every writer asks of its input, checked before anything is written: 1 to 8 channels,
// a layout of that many channels (or none), a whole rate from 1 Hz to 768 kHz (M4A: from
// 1,000 Hz); std::invalid_argument saying what is wrong otherwise.
void checkWritable(int channelCount, const AudioFormat& format, Kind kind);

// Writes `audio` (`format` gives its rate, layout and depth; 0 frames makes a file without
// audio) as `kind` to `destination`, replacing any file there once the new one is complete.
// The path's extension is not consulted.
Written write(const ChunkedAudio& audio, const AudioFormat& format, Kind kind,
              const Destination& destination, const Options& options = {},
              const WriteControl& control = {});

// Whole channels of equal length at `sampleRate`, in the standard layout, as 16-bit: for tools
// and tests. std::invalid_argument also for channels of unequal length or missing.
void write(const Channels& channels, double sampleRate, Kind kind,
           const std::filesystem::path& path, const WriteControl& control = {});

// A file written as its frames become known, in order: taln-clean writes each stretch of the
// recording as soon as it is cleaned. The same file, checks and guarantees as write(): the
// destination changes only in finish(); a Stream destroyed without it (an error, a
// cancelled run) leaves any earlier file there as it was and nothing beside it.
// With a loudness plan (from a Loudness::Meter fed the same audio before), the frames are
// normalised as they come; the limiter holds back its look-ahead until finish(). A normalised
// M4A decodes its packets again as it writes them, and once their true peak passes the
// ceiling, append() or finish() throws Loudness::CeilingPassed (unless the plan says
// otherwise): nothing is written, and the caller starts again with Loudness::plan(...,
// extraMarginDb) and a new Stream.
// One thread at a time (not necessarily the same one).
class Stream {
public:
    // Opens the temporary file and writes the header. std::invalid_argument for audio that
    // checkWritable refuses; FileError when the file cannot be made.
    Stream(int channelCount, const AudioFormat& format, Kind kind, const Destination& destination,
           bool forceFloat = false, const std::optional<Loudness::Plan>& loudness = {});
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Appends `frames` frames: channels[c] points at channel c's samples, one pointer per
    // channel. FileError when the file cannot be written.
    void append(std::span<const float* const> channels, std::int64_t frames);

    // Ends the file and puts it in place of the destination. Call once, after the last append.
    void finish();

    // The rate, layout and depth in the file.
    AudioFormat written() const;

    // For a normalised M4A, the true peak of the encoded audio decoded again, dBTP, once
    // finished; NaN otherwise.
    double encodedPeakDbtp() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace taln::AudioExporter
