#pragma once

// AudioDecoder: any audio or video file FFmpeg can open -> Channels at 44,100 Hz.
//
// The first audio stream is decoded, resampled to 44,100 Hz float and remixed to one
// channel (mono source) or two (stereo or more, FFmpeg's standard downmix; unknown layout).
// NaN and infinite samples (a float file can hold them) are replaced by 0: one of them would
// turn the rest of the cleaned channel into NaN. Samples beyond ±16 (+24 dBFS) are clipped
// there, as M4A export does. A damaged packet is skipped and the rest of the file kept, as
// players do; a file cut short yields the audio before the cut. Audio at a rate below
// 1,000 Hz or above 3,072,000 Hz counts as damaged (a header claiming 1 Hz would make 44,100
// samples of every byte; one claiming 1 GHz, a resampling filter of hundreds of megabytes).
//
// Only the file given is read. It must be a regular file (a device such as /dev/zero or a
// named pipe never ends); the decoder opens it itself and refuses every further open a
// demuxer asks for, and it refuses the demuxers that chain or synthesise media (playlists,
// manifests, concat lists, image sequences, synthesis scripts, network descriptions): a
// playlist saved as "x.mp3" must not make Taln read the files it names.
//
// Memory bound: the decoded audio takes frames x channels x 4 bytes, and the window holds
// about kPeakFactor (3) times that at its peak (original, cleaned, and a cleaning run's
// pieces). A file whose audio times that factor exceeds the memory available
// (/proc/meminfo's MemAvailable when decoding starts, or DecodeOptions::memoryAvailable) is
// refused: before decoding when the container's duration (as far as the file's size makes it
// plausible) already says so, and while decoding as soon as the decoded audio grows past it.
// Memory: the channels, reserved from the container's duration when it gives one (at most
// 1,024 frames a byte), plus one converted frame of scratch; the channels are moved into the
// result, not copied.
//
// Thread contract: any thread; no shared state, any number of decodes may run at once.
// Errors: TalnError for what Taln detects itself (no audio stream, no frames, a file that
// is no media Taln reads); a std::runtime_error "take.m4a is too long: it would need 5.2 GB
// of memory; 3.1 GB are available." for the memory bound; otherwise a std::runtime_error
// carrying the file's name and FFmpeg's or the system's own message ("take.m4a: Invalid data
// found when processing input", "zero.sw: Not a regular file"). A read error that stops
// reading is thrown and nothing partial is returned.

#include "audio/channels.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

namespace taln::AudioDecoder {

// How many times the decoded audio's size the window holds at its peak.
inline constexpr std::int64_t kPeakFactor = 3;

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
    // 44,100 Hz float and stores them: for a caller with a processor to spare. The result is
    // the same. A 10-minute mono WAV decodes in 0.024 s instead of 0.033 s; an M4A, whose
    // decoding is most of the work, gains nothing.
    bool decodeAhead = false;
};

struct Decoded {
    Channels channels;
    // Frames the container states at 44,100 Hz; 0 when it states no duration.
    std::int64_t statedFrames = 0;
    // Empty, or one line for the user when the decoded audio falls well short of the stated
    // duration (less than 90 % of it and at least a second shorter): "take.m4a ends early:
    // 0.8 s of audio where the file states 30.0 s; it may be damaged or cut short." The audio
    // that was read is still returned.
    std::string shortfallWarning;
};

Decoded decodeFile(const std::filesystem::path& path, const DecodeOptions& options = {});

// decodeFile(path).channels.
Channels decode(const std::filesystem::path& path);

} // namespace taln::AudioDecoder
