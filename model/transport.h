#pragma once

// Transport: TalnModel's playing: the player over the sound output, `isPlaying`, `position`,
// `duration` and what is audible (`listening`).
//
// A sound output that cannot start leaves `isPlaying` false and shows "Playback failed: " and
// the device's own words as the error (Notices, with its origin); the next start that works
// clears that error, and only that one. The position follows the player on tick(), 30 times
// a second while playing.
//
// Main thread only; the player's mixer runs on the output's thread.

#include "audio/audio_output.h"
#include "audio/chunked_audio.h"
#include "audio/player.h"
#include "model/published.h"
#include "model/taln_model.h"

#include <cstdint>
#include <memory>

namespace taln {

class Notices;

class Transport {
public:
    Transport(TalnModel& model, std::unique_ptr<AudioOutput> output, Notices& notices);

    bool isPlaying() const { return isPlaying_.get(); }
    double position() const { return position_.get(); }
    double duration() const { return duration_.get(); }
    TalnModel::Listening listening() const { return listening_; }

    // A file is being read: playback stops; assigns `isPlaying`.
    void stop();
    // A file is installed, in three steps: it starts stopped (a play pressed while it was read
    // played the earlier file; assigns `isPlaying` if that was playing); at 0, `duration`
    // seconds long (assigns `duration`, then `position`); both tracks handed to the player.
    void endPlaying();
    void setDuration(double duration);
    void load(const ChunkedAudio& orig, const ChunkedAudio& cleaned, double rate,
              std::uint64_t channelMask);
    // A cleaned piece: heard from the next output buffer while playing.
    void replaceClean(const ChunkedAudio& cleaned);

    // See TalnModel: pause or play, seek to a fraction, skip by seconds.
    void togglePlay();
    void seek(double fraction);
    void skip(double seconds);
    void setListening(TalnModel::Listening listening);

    // Frees the tables and chunks the mixer has moved past, so that the buffers only they held
    // are free to go.
    void releaseRetired();
    // The timer's tick: the position follows the player, and playback ends at the end.
    void tick();

    // The playhead: the player's while playing, else the position; as a frame of the loaded
    // audio, 0 ... its length.
    std::int64_t playheadFrame() const;
    // The frame the listener is at, for the cleaning's first piece.
    std::int64_t listenerFrame();

private:
    bool loaded() const { return frames_ > 0; }
    bool startPlayer(std::int64_t frame);
    void reachEnd();

    TalnModel& model_;
    Notices& notices_;
    Player player_;
    Published<TalnModel, bool> isPlaying_;
    Published<TalnModel, double> position_;
    Published<TalnModel, double> duration_;
    TalnModel::Listening listening_ = TalnModel::Listening::Cleaned;
    // The loaded audio's rate and length.
    double rate_ = 44100.0;
    std::int64_t frames_ = 0;
};

} // namespace taln
