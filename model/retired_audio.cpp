#include "model/retired_audio.h"

#include "model/background_work.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace taln {

void RetiredAudio::retire(const Channels& channels) {
    for (const ChannelPtr& channel : channels) {
        if (channel && std::find(retired_.begin(), retired_.end(), channel) == retired_.end()) {
            retired_.push_back(channel);
        }
    }
}

void RetiredAudio::releaseUnused() {
    // use_count() == 1: only this list still holds the buffer, and no other owner can appear,
    // since a reference is only ever copied from an existing one.
    const auto unused = std::partition(retired_.begin(), retired_.end(),
                                       [](const ChannelPtr& c) { return c.use_count() > 1; });
    if (unused == retired_.end()) {
        return;
    }
    Channels release(std::make_move_iterator(unused), std::make_move_iterator(retired_.end()));
    retired_.erase(unused, retired_.end());
    BackgroundWork::start(
        [release = std::move(release)]() mutable { releaseChannels(std::move(release)); });
}

void releaseChannels(Channels channels) {
    constexpr std::size_t kStep = std::size_t{32} << 20;
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (ChannelPtr& channel : channels) {
        if (channel.use_count() != 1 || channel->size() * sizeof(float) < 2 * kStep) {
            channel.reset();
            continue;
        }
        // Whole pages inside the buffer only: the allocator's bookkeeping before it stays.
        const auto begin = reinterpret_cast<std::uintptr_t>(channel->data());
        const std::uintptr_t from = (begin + page - 1) / page * page;
        const std::uintptr_t to = (begin + channel->size() * sizeof(float)) / page * page;
        for (std::uintptr_t at = from; at < to; at += kStep) {
            // The contents are never read again; MADV_DONTNEED drops the pages.
            ::madvise(reinterpret_cast<void*>(at), std::min<std::uintptr_t>(kStep, to - at),
                      MADV_DONTNEED);
        }
        channel.reset();
    }
}

} // namespace taln
