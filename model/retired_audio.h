#pragma once

// RetiredAudio: channel buffers the model let go of, held until nobody else (the player's
// schedules, a posted result, a job's or an export's snapshot) refers to them, then freed on a
// worker thread: giving back a 3-hour stereo recording (3.8 GB) takes the system about a
// second, which the main thread must not spend.
//
// Threads: a RetiredAudio is used on the main thread only; releaseChannels() on any.

#include "audio/channels.h"

namespace taln {

class RetiredAudio {
public:
    // Adds the buffers of `channels` (each once, null ones skipped) to the list.
    void retire(const Channels& channels);

    // Hands the buffers only this list still holds to a worker that frees them.
    void releaseUnused();

private:
    Channels retired_;
};

// Frees channel buffers this thread holds the last references to (a worker's). A buffer of a
// long recording is handed back to the system 32 MB at a time first: unmapping 3.8 GB in one
// call takes about 0.3 s, and all that time the kernel makes every other thread of the process
// wait that maps memory, the main thread's starting of a worker included. After the steps the
// buffer's pages are gone and its unmapping is immediate.
void releaseChannels(Channels channels);

} // namespace taln
