#pragma once

// RetiredAudio: channel buffers the model let go of, held until nobody else (the player's
// schedules and tables, a posted result, a job's or an export's snapshot) refers to them, then
// freed on a worker thread: giving back a 3-hour stereo recording (3.8 GB) takes the system
// about a second, which the main thread must not spend. Buffers reached through chunks (the
// cleaned pieces a new cleaning replaces) are held the same way, one reference per buffer.
//
// Threads: a RetiredAudio is used on the main thread only; releaseChannels() on any.

#include "audio/channels.h"
#include "audio/chunked_audio.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace taln {

class RetiredAudio {
public:
    // Adds the buffers of `channels` (each once, null ones skipped) to the list.
    void retire(const Channels& channels);

    // Adds the buffers behind chunks [first, last) of every channel of `audio`, each once,
    // except those of `kept` (the original, which chunks of the cleaned track may point into
    // and which is retired whole, as Channels, when its file goes).
    void retire(const ChunkedAudio& audio, std::int64_t first, std::int64_t last,
                const Channels& kept);

    // Hands the buffers only this list still holds to a worker that frees them.
    void releaseUnused();

private:
    Channels retired_;
    std::vector<std::shared_ptr<const void>> buffers_;
};

// Frees channel buffers this thread holds the last references to (a worker's). A buffer of a
// long recording is handed back to the system 32 MB at a time first: unmapping 3.8 GB in one
// call takes about 0.3 s, and all that time the kernel makes every other thread of the process
// wait that maps memory, the main thread's starting of a worker included. After the steps the
// buffer's pages are gone and its unmapping is immediate.
void releaseChannels(Channels channels);

} // namespace taln
