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

void RetiredAudio::retire(const ChunkedAudio& audio, std::int64_t first, std::int64_t last,
                          const Channels& kept) {
    const auto sameBuffer = [](const auto& a, const ChunkPtr& b) {
        return !a.owner_before(b) && !b.owner_before(a);
    };
    for (int c = 0; c < audio.channelCount(); ++c) {
        for (std::int64_t i = std::max<std::int64_t>(0, first);
             i < std::min(last, audio.chunkCount()); ++i) {
            const ChunkPtr& chunk = audio.chunk(c, i);
            // Neighbouring chunks mostly share a buffer: the newest entry is tried first.
            const auto same = [&](const auto& b) { return sameBuffer(b, chunk); };
            if (!chunk || std::any_of(buffers_.rbegin(), buffers_.rend(), same) ||
                std::any_of(kept.begin(), kept.end(), same)) {
                continue;
            }
            buffers_.push_back(chunk);
        }
    }
}

void RetiredAudio::releaseUnused() {
    const auto idle = std::partition(buffers_.begin(), buffers_.end(),
                                     [](const auto& b) { return b.use_count() > 1; });
    if (idle != buffers_.end()) {
        std::vector<std::shared_ptr<const void>> release(std::make_move_iterator(idle),
                                                         std::make_move_iterator(buffers_.end()));
        buffers_.erase(idle, buffers_.end());
        BackgroundWork::start([release = std::move(release)]() mutable { release.clear(); });
    }

    // use_count() == 1: only this list still holds the buffer, and no other owner can appear,
    // since a reference is only ever copied from an existing one.
    const auto unused = std::partition(retired_.begin(), retired_.end(),
                                       [](const ChannelPtr& c) { return c.use_count() > 1; });
    if (unused == retired_.end()) {
        return;
    }
    Channels releaseWhole(std::make_move_iterator(unused), std::make_move_iterator(retired_.end()));
    retired_.erase(unused, retired_.end());
    BackgroundWork::start(
        [release = std::move(releaseWhole)]() mutable { releaseChannels(std::move(release)); });
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
