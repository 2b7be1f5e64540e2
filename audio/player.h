#pragma once

// Player: plays the original and the cleaned version of the loaded audio in step, through
// one AudioOutput, with exactly one of them audible.
//
// Thread contract: every public method is called on the main thread (the model is its only
// caller). The output's thread runs the mixer, which only reads schedules the main thread
// prepared and the two gains; it never allocates, frees, locks or does I/O. A start hands
// its schedule over with one atomic pointer store and does not wait for the mixer;
// schedules the mixer has left are freed on the main thread, at the next start or stop.
//
// Memory: the player holds references to the channel buffers (shared_ptr), never copies;
// playing a file costs a few hundred bytes per schedule beside the samples themselves.
//
// Time: frames are counted at `sampleRate` (44,100 Hz in Taln); the output runs at that rate.
// The position advances in steps of one device buffer (1,024 frames, 23 ms, with SDL).

#include "audio/audio_output.h"
#include "audio/channels.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace taln {

class Player {
public:
    explicit Player(std::unique_ptr<AudioOutput> output);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Takes both versions (shared, not copied) and stops everything, the output included.
    void load(Channels orig, Channels clean, double sampleRate);

    // Plays both versions from `frame` (a negative frame plays from 0), both starting on the
    // same output frame 0.05 s from now. A frame at or past the end stops both tracks and
    // leaves the start frame unchanged. Returns the device's reason when the sound output
    // cannot start; nothing is scheduled then.
    [[nodiscard]] std::optional<std::string> start(std::int64_t frame);

    // Stops both tracks; the output keeps running (silent).
    void stop();

    // Makes the original audible (true) or the cleaned version (false), at once, without a gap.
    void setHearOriginal(bool hearOriginal);

    // Replaces the cleaned version for later starts; what is already playing keeps its version.
    void setClean(Channels clean);

    // Playback position in seconds: start frame plus the frames played since both tracks
    // began (never negative), over the sample rate.
    double currentTime() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace taln
