#pragma once

// AudioDecoder: any audio or video file FFmpeg can open -> Channels at the file's own rate,
// with every channel (up to 8), its layout, its sample depth and its timeline.
//
// The first audio stream is decoded and converted by libswresample to 32-bit float, planar:
// - Rate: the stream's own, 8,000 to 192,000 Hz unchanged. A stream below 8 kHz is resampled
//   up to 8 kHz (no recording format worth keeping is slower, and the cleaning's frame of
//   2,048 samples would span over a quarter of a second); one above 192 kHz is resampled to
//   half its rate, halved again until it fits (352.8 kHz -> 176.4 kHz, 384 kHz -> 192 kHz):
//   nothing audible lies above 96 kHz and each such sample doubles the work. A stream that
//   changes its rate midway is resampled to the rate of its first frame.
// - Channels: kept as they are, in the source's order, up to kMaxChannels (7.1); the layout
//   is reported as FFmpeg's native channel mask. A layout FFmpeg knows only by its count, or
//   cannot express as a mask (a custom order, ambisonics), is reported as the standard layout
//   for the count; the channels are not moved. More than 8 channels are downmixed to 7.1 by
//   libswresample (by their positions when the layout names them; otherwise the first eight
//   are taken as 7.1 and every further one is added to front left and right at -3 dB), and
//   Decoded::sourceChannels says how many there were. A stream that changes its layout
//   midway is remixed to the layout of its first frame.
// - Depth: from the codec. PCM and lossless codecs (FLAC, ALAC, WavPack...) give int16 for
//   8 and 16 bits, int24 for up to 24, int32 above, and float32 for float and double
//   samples; lossy codecs (AAC, MP3, Opus, Vorbis, DTS other than DTS-HD Master Audio...)
//   give SampleDepth::lossy.
// - Timeline: the frames are placed where their timestamps say. When a frame starts more than
//   kTimestampTolerance (15 ms) after the audio decoded so far ends (a hole in the stream, or
//   packets dropped as damaged), the hole is filled with silence of its length, so that the
//   audio after it stays at its own time; each such hole is reported in Decoded::gaps. When a
//   frame starts more than 15 ms before the end (an overlap), the samples that overlap are
//   dropped, not played twice. 15 ms lets through the jitter of timestamps rounded to the
//   millisecond (Matroska, FLV: +-1 ms) and of a capture clock (a few ms), and is less than
//   one packet of any common codec (AAC 21-23 ms, MP3 24-26 ms, Opus 20 ms), so the loss of
//   a single packet is filled; audio after a hole lands within 15 ms of its time. Timestamps
//   that jump further than a file can hold (past its stated duration) or back by more than
//   kMaxOverlapSeconds (a reset, as in recordings joined end to end) are a new origin, not a
//   hole: the audio goes on without a break. AVI's audio timestamps are counted from the
//   bytes read, not stated, and are not followed. A stream that starts late (its first
//   timestamp after the file's start) is not a hole: Decoded::startSeconds says when its
//   first sample plays.
// NaN and infinite samples (a float file can hold them) are replaced by 0: one of them would
// turn the rest of the cleaned channel into NaN. Samples beyond +-16 (+24 dBFS,
// PcmSamples::kSampleLimit) are clipped there, as M4A export does. A damaged packet is
// skipped (its time becomes silence, as above) and the rest of the file kept, as players do;
// a file cut short yields the audio before the cut. Audio at a rate below 1,000 Hz or above
// 3,072,000 Hz counts as damaged (a header claiming 1 Hz would make thousands of samples of every
// byte; one claiming 1 GHz, a resampling filter of hundreds of megabytes).
//
// Only the file given is read (FfmpegInput): a regular file, opened by the decoder itself,
// never a file it names. Standard input, which may be a pipe, is first copied whole into an
// anonymous memory file, which is then read as that file.
//
// Memory bound: the decoded audio takes frames x channels x 4 bytes, and the window holds
// about kPeakFactor (3) times that at its peak (original, cleaned, and a cleaning run's
// pieces). A file whose audio times that factor exceeds the memory available
// (/proc/meminfo's MemAvailable when decoding starts, or DecodeOptions::memoryAvailable) is
// refused: before decoding when the container's duration (as far as the file's size makes it
// plausible) already says so, and while decoding as soon as the decoded audio, silence
// filling holes included, grows past it. Standard input's copy counts against the same
// memory: it is refused once it alone exceeds it, and the decoded audio may take what is
// left. Memory: the channels, reserved from the container's duration when it gives one (at
// most 1,024 frames a byte), plus one converted frame of scratch; the channels are moved into
// the result, not copied.
//
// The parts: FfmpegInput opens the file, PacketReader reads and decodes its packets,
// FrameAppender converts the frames and places them on the timeline, MemoryBound refuses what
// would not fit.
//
// Thread contract: any thread; no shared state, any number of decodes may run at once.
// Errors: TalnError for what Taln detects about the file as a whole (no audio stream, no
// frames, a file that is no media Taln reads); otherwise a FileError carrying the path and
// the code: FFmpeg's or the system's ("take.m4a: Invalid data found when processing input"),
// or Taln's own for a path that is no regular file ("zero.sw: Not a regular file") and for
// the memory bound ("take.m4a is too long: it would need 5.2 GB of memory; 3.1 GB are
// available."). A read error that stops reading is thrown and nothing partial is returned.

#include "audio/audio_format.h"
#include "audio/channels.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace taln::AudioDecoder {

// How many times the decoded audio's size the window holds at its peak.
inline constexpr std::int64_t kPeakFactor = 3;
// The most channels decoded; a source with more is downmixed to 7.1.
inline constexpr int kMaxChannels = 8;
// How far a frame's timestamp may stray from the end of the audio before it, in seconds,
// before the difference counts as a hole or an overlap (see above).
inline constexpr double kTimestampTolerance = 0.015;
// An overlap longer than this, in seconds, is a reset of the timestamps instead.
inline constexpr double kMaxOverlapSeconds = 1.0;
// The name standard input goes by in messages ("standard input: Invalid data found...").
inline constexpr const char* kStandardInputName = "standard input";

struct DecodeOptions {
    // Bytes of memory the decoded audio (times kPeakFactor) may take; negative: the system's
    // MemAvailable when decoding starts.
    std::int64_t memoryAvailable = -1;
    // Read (relaxed) between packets; once true, decoding stops, frees what it decoded and
    // returns no channels. Null: never cancelled.
    const std::atomic<bool>* cancel = nullptr;
    // Written (relaxed) between packets: the share of the stated duration decoded so far,
    // 0 ... 1; stays negative when the container states no duration. Null: not reported.
    std::atomic<float>* progress = nullptr;
    // Read and decode the file on a thread of its own while this one converts the frames to
    // float and stores them: for a caller with a processor to spare. The result is the same.
    // A 10-minute mono WAV decodes in 0.024 s instead of 0.033 s; an M4A, whose decoding is
    // most of the work, gains nothing.
    bool decodeAhead = false;
};

// A hole in the source's audio, filled with silence: `frames` frames from frame `frame` of
// the decoded channels.
struct Gap {
    std::int64_t frame = 0;
    std::int64_t frames = 0;

    friend bool operator==(const Gap&, const Gap&) = default;
};

struct Decoded {
    Channels channels;
    // The rate of the channels, their layout (channelMask, never 0) and the source's depth.
    AudioFormat format;
    // Channels in the source; more than channels.size() when they were downmixed to 7.1.
    int sourceChannels = 0;
    // When the first decoded sample plays on the file's own timeline, in seconds (the
    // stream's timestamp of it, as the file's other streams count theirs); 0 when the
    // stream states none.
    double startSeconds = 0.0;
    // The holes filled with silence, in order.
    std::vector<Gap> gaps;
    // Frames the container states at the decoded rate; 0 when it states no duration.
    std::int64_t statedFrames = 0;
    // The file holds a video stream (VideoStreams::isVideoStream: a cover picture does not
    // count), so the file need not be opened again to ask.
    bool hasVideo = false;
    // Empty, or one line for the user when the decoded audio, holes filled, falls well short
    // of the stated duration (less than 90 % of it and at least a second shorter): the file
    // stops early. "take.m4a ends early: 0.8 s of audio where the file states 30.0 s; it may
    // be damaged or cut short." The audio that was read is still returned.
    std::string shortfallWarning;
};

Decoded decodeFile(const std::filesystem::path& path, const DecodeOptions& options = {});

// Decodes what standard input holds, read to its end first (see above), as decodeFile does a
// file. Messages name it kStandardInputName.
Decoded decodeStandardInput(const DecodeOptions& options = {});

// decodeFile(path).channels.
Channels decode(const std::filesystem::path& path);

// The gap in words for the user, at the decoded rate `sampleRate`: "0.9 s of the sound was
// missing at 1:32 and is silent" (tenths of a second from 0.1 s, milliseconds below; the
// place as minutes and seconds, with hours from an hour on).
std::string describeGap(const Gap& gap, int sampleRate);

// All of a file's gaps in one line, a sentence: the one gap as describeGap says it, or how
// many, how long in all and where the first was ("3 stretches of the sound, 1.2 s in all, were
// missing from 0:41 on and are silent."); empty for none.
std::string describeGaps(const std::vector<Gap>& gaps, int sampleRate);

} // namespace taln::AudioDecoder
