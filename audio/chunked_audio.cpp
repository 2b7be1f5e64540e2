#include "audio/chunked_audio.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace taln {

namespace {

// Chunks aliasing `samples`, frames [skip, skip + frames) of it, in chunk order. Each chunk
// shares ownership of the whole buffer.
std::vector<ChunkPtr> chunksInto(const ChannelPtr& samples, std::int64_t skip,
                                 std::int64_t frames) {
    std::vector<ChunkPtr> chunks;
    chunks.reserve(static_cast<std::size_t>(ChunkedAudio::chunksFor(frames)));
    for (std::int64_t start = 0; start < frames; start += kChunkFrames) {
        chunks.emplace_back(samples, samples->data() + skip + start);
    }
    return chunks;
}

std::string range(std::int64_t from, std::int64_t to) {
    return "[" + std::to_string(from) + ", " + std::to_string(to) + ")";
}

} // namespace

ChunkedAudio ChunkedAudio::fromChannels(const Channels& channels) {
    if (channels.empty()) {
        return {};
    }
    auto table = std::make_shared<Table>();
    table->frames = -1;
    for (const ChannelPtr& channel : channels) {
        const std::int64_t n = channel ? static_cast<std::int64_t>(channel->size()) : 0;
        table->frames = table->frames < 0 ? n : std::min(table->frames, n);
    }
    for (const ChannelPtr& channel : channels) {
        table->chunks.push_back(table->frames > 0 ? chunksInto(channel, 0, table->frames)
                                                  : std::vector<ChunkPtr>{});
    }
    return ChunkedAudio(std::move(table));
}

std::int64_t ChunkedAudio::chunkFrames(std::int64_t chunk) const {
    return std::clamp<std::int64_t>(frameCount() - chunkStart(chunk), 0, kChunkFrames);
}

ChunkedAudio ChunkedAudio::withPiece(std::int64_t first, const Channels& piece,
                                     std::int64_t skip) const {
    if (static_cast<int>(piece.size()) != channelCount()) {
        throw std::invalid_argument("a piece of " + std::to_string(piece.size()) +
                                    " channels for audio of " + std::to_string(channelCount()));
    }
    const std::int64_t length = taln::frameCount(piece) - skip;
    if (skip < 0 || length <= 0) {
        throw std::invalid_argument("a piece of " + std::to_string(taln::frameCount(piece)) +
                                    " frames with " + std::to_string(skip) + " to leave out");
    }
    const std::int64_t last = first + chunksFor(length);
    checkChunks(first, last);
    const std::int64_t expected = std::min(chunkStart(last), frameCount()) - chunkStart(first);
    for (const ChannelPtr& channel : piece) {
        if (!channel || static_cast<std::int64_t>(channel->size()) - skip != expected) {
            throw std::invalid_argument(
                "a piece for chunks " + range(first, last) + " must hold " +
                std::to_string(expected) + " frames per channel after the " + std::to_string(skip) +
                " left out, not " +
                std::to_string(channel ? static_cast<std::int64_t>(channel->size()) - skip : 0));
        }
    }
    auto table = std::make_shared<Table>(*table_);
    for (std::size_t c = 0; c < piece.size(); ++c) {
        const std::vector<ChunkPtr> chunks = chunksInto(piece[c], skip, expected);
        std::copy(chunks.begin(), chunks.end(), table->chunks[c].begin() + first);
    }
    return ChunkedAudio(std::move(table));
}

void ChunkedAudio::checkRange(int channel, std::int64_t from, std::int64_t to) const {
    if (channel < 0 || channel >= channelCount() || from < 0 || from > to || to > frameCount()) {
        throw std::out_of_range("frames " + range(from, to) + " of channel " +
                                std::to_string(channel) + " in audio of " +
                                std::to_string(channelCount()) + " channels and " +
                                std::to_string(frameCount()) + " frames");
    }
}

void ChunkedAudio::checkChunks(std::int64_t first, std::int64_t last) const {
    if (first < 0 || first > last || last > chunkCount()) {
        throw std::out_of_range("chunks " + range(first, last) + " of " +
                                std::to_string(chunkCount()));
    }
}

} // namespace taln
