#pragma once

// AudioExporter: Channels -> a WAV (16-bit PCM) or M4A (AAC) file.
//
// WAV is 16-bit little-endian PCM (or 32-bit float on request); float samples are scaled by
// 32,768, rounded, saturated at the 16-bit range (no wrap-around), and NaN becomes 0.
// M4A is AAC from FFmpeg's native encoder at 96,000 bit/s per channel, in the .m4a flavour
// of MP4; its samples are clipped at ±16 (+24 dBFS), far above any real recording, because
// the encoder hangs on samples in the millions, and NaN and infinities become 0. Both at the given
// rate with one channel per entry of `channels`, written in chunks of 65,536 frames; memory beyond
// the input is one chunk.
//
// Thread contract: any thread; blocks until the file is complete. The file is written to an
// unnamed temporary file in the destination's folder (a short hidden name where the file
// system cannot make unnamed files; see FfmpegFileOutput) and renamed over the destination
// only when complete, keeping the mode (and owner, where permitted) of the file it replaces,
// so a failure leaves any earlier file at the destination untouched and nothing beside it.
// Errors: std::runtime_error with FFmpeg's or the system's own message.

#include "audio/channels.h"
#include "audio/chunked_audio.h"

#include <atomic>
#include <exception>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

namespace taln::AudioExporter {

enum class Kind { m4a, wav };

// The sample encoding of a WAV file; M4A ignores it.
enum class WavSamples { int16, float32 };

// Following and stopping a write from another thread; both pointers may be null.
struct WriteControl {
    // Read (relaxed) after each chunk; once true, the write stops with WriteCancelled and
    // leaves nothing behind: any earlier file at the destination stays as it was.
    const std::atomic<bool>* cancel = nullptr;
    // Written (relaxed) after each chunk: the share of the frames written so far, 0 ... 1.
    std::atomic<float>* progress = nullptr;
};

// Thrown by write() when its WriteControl's cancel flag was set.
class WriteCancelled : public std::exception {
public:
    const char* what() const noexcept override { return "The export was cancelled."; }
};

// What every writer of audio files asks of its input: 1 to 8 channels of equal length at a
// whole, positive rate of at most 768 kHz; std::invalid_argument saying what is wrong
// otherwise, before anything is written.
void checkWritable(const Channels& channels, double sampleRate);

// Writes `channels` (at least one, all of equal length; 0 frames makes a file without
// audio) at `sampleRate` hertz (a positive whole number) as `kind` to `path`, replacing
// any file there once the new one is complete. The path's extension is not consulted.
// std::invalid_argument for channels or a rate that cannot be written; nothing is written.
void write(const Channels& channels, double sampleRate, Kind kind,
           const std::filesystem::path& path, WavSamples wavSamples = WavSamples::int16,
           const WriteControl& control = {});

// The same for audio held in chunks (a snapshot of the cleaned track): the samples are read
// from the chunks as they are written, never gathered into whole channels. (A name of its own,
// so that write({}, ...) stays unambiguous.)
void writeChunks(const ChunkedAudio& audio, double sampleRate, Kind kind,
                 const std::filesystem::path& path, WavSamples wavSamples = WavSamples::int16,
                 const WriteControl& control = {});

// A file written as its frames become known, in order: taln-clean writes each stretch of the
// recording as soon as it is cleaned. The same file, checks and guarantees as write(): the
// destination changes only in finish(); a Stream destroyed without it (an error, a
// cancelled run) leaves any earlier file there as it was and nothing beside it.
// One thread at a time (not necessarily the same one).
class Stream {
public:
    // Opens the temporary file and writes the header. std::invalid_argument for a channel
    // count or rate write() refuses; std::runtime_error when the file cannot be made.
    Stream(int channelCount, double sampleRate, Kind kind, const std::filesystem::path& path,
           WavSamples wavSamples = WavSamples::int16);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Appends `frames` frames: channels[c] points at channel c's samples, one pointer per
    // channel. std::runtime_error when the file cannot be written.
    void append(std::span<const float* const> channels, std::int64_t frames);

    // Ends the file and puts it in place of the destination. Call once, after the last append.
    void finish();

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace taln::AudioExporter
