#pragma once

// Player: plays the original and the cleaned version of the loaded audio in step, through
// one AudioOutput, with exactly one of them audible, or both at once as what the cleaning
// removed (the original minus the cleaned version).
//
// Thread contract: every public method is called on the main thread (the model is its only
// caller). The output's thread runs the mixer, which only reads schedules the main thread
// prepared and the two gains; it never allocates, frees, locks or does I/O. Every change of
// what plays (a start, a stop, a new cleaned version) is handed over as a new schedule with
// one atomic pointer store, without waiting for the mixer. Schedules the mixer has moved past,
// and the tracks and chunks only they hold, are freed on the main thread, by the next start,
// stop, replaceClean or releaseRetired.
//
// Memory: the player holds both versions as ChunkedAudio (shared chunk tables), never copies
// samples; a schedule costs a few hundred bytes beside them. When the player's reference is
// the last one to a buffer, the buffer is freed on the main thread; a caller that wants a large
// buffer freed elsewhere keeps a reference of its own and drops it there.
//
// Time: frames are counted at `sampleRate`, the recording's own rate; the output runs at that
// rate. The position advances in steps of one device buffer (about 23 ms with SDL).
//
// Channels: a track may have 1 to 8 channels; the output is stereo, and what is heard is the
// recording folded to two speakers (StereoDownmix: mono on both sides, stereo as it is).
//
// Live cleaning, for a scheduler that publishes a cleaning piece by piece while playing:
//   - load(orig, clean, rate) once per file (the original as both versions is fine);
//   - per finished piece: clean = clean.withPiece(firstChunk, piece); replaceClean(clean).
//     Do not call start for it: start is a real start (play, seek) and opens with the lead,
//     replaceClean continues the playing position and is heard from the next output buffer;
//   - releaseRetired on every timer tick, so the chunks a piece replaced are freed within a
//     tick of the mixer leaving them, even when no other call follows.

#include "audio/audio_output.h"
#include "audio/chunked_audio.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace taln {

class Player {
public:
    // What the listener hears; a change is a change of the two track gains, heard from the
    // next output buffer.
    enum class Listening {
        cleaned,  // gains 0 (original) and 1 (cleaned)
        original, // gains 1 and 0
        removed,  // gains 1 and -1: the original minus the cleaned version
    };

    // A new cleaned version reaches the listener through a linear crossfade of 256 frames
    // (5.8 ms at 44,100 Hz) from the old samples to the new: long enough that a step between
    // two cleanings makes no click, short enough to stay within one device buffer.
    static constexpr std::int64_t kCrossfadeFrames = 256;

    explicit Player(std::unique_ptr<AudioOutput> output);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Takes both versions (shared, not copied) and stops everything, the output included.
    // An empty cleaned version plays the original in its place. `channelMask` is the
    // channels' layout (FFmpeg's native mask; 0: the standard one for the count).
    void load(ChunkedAudio orig, ChunkedAudio clean, double sampleRate,
              std::uint64_t channelMask = 0);

    // Plays both versions from `frame` (a negative frame plays from 0), both starting on the
    // same output frame 0.05 s from now. A frame at or past the end stops both tracks and
    // leaves the start frame unchanged. Returns the device's reason when the sound output
    // cannot start; nothing is scheduled then.
    [[nodiscard]] std::optional<std::string> start(std::int64_t frame);

    // Stops both tracks; the output keeps running (silent).
    void stop();

    // Any of the three listening positions, at once, without a gap.
    void setListening(Listening listening);

    // Replaces the cleaned version now. While playing, the next output buffer carries the new
    // version at the position reached, crossfading over kCrossfadeFrames from the old samples;
    // no silence, no lead, and the position runs on. While stopped, the next start plays it.
    void replaceClean(ChunkedAudio clean);

    // Frees the schedules, tables and chunks that the mixer has moved past. Cheap; call it on
    // the timer tick.
    void releaseRetired();

    // Playback position: start frame plus the frames played since both tracks began (never
    // negative), in frames, and in seconds over the sample rate.
    std::int64_t currentFrame() const;
    double currentTime() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace taln
