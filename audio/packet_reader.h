#pragma once

// PacketReader: one audio stream of an open input decoded, the one way the decoder and the
// video exporter read packets: the stream's decoder opened, its packets read and decoded to the
// end (the decoder flushed), each frame handed on. A damaged packet or frame is skipped and
// reading goes on with the next one, as players do: one bad packet in a long recording costs a
// few milliseconds, not the whole file. A read error of the file and a fatal decoding error
// (out of memory) stop the reading with a FileError naming the file.
// One thread at a time per input and decoder.

#include "audio/ffmpeg_handles.h"
#include "audio/file_error.h"

#include <filesystem>

namespace taln::PacketReader {

// A decoder for `stream`, open, its packets' time base the stream's. FileError naming `path`
// when FFmpeg has no decoder for the codec or it does not open.
CodecContextPtr openDecoder(const AVStream& stream, const std::filesystem::path& path);

inline bool isFatal(int errnum) {
    return errnum == AVERROR(ENOMEM);
}

// Reads the packets of stream `streamIndex` of `input` and decodes them with `decoder`, to the
// end, flushing the decoder; each frame is handed to `deliver(FramePtr&)`, which returns false
// to stop (the frame is its to take or to leave). Also stops once `stop()` returns true
// between packets. Returns whether it read to the end. A damaged packet or frame is skipped,
// its error kept in `lastError`.
template <typename Stop, typename Deliver>
bool readAndDecode(const std::filesystem::path& path, AVFormatContext* input, int streamIndex,
                   AVCodecContext* decoder, int& lastError, const Stop& stop,
                   const Deliver& deliver) {
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame) {
        throw FileError(path, AVERROR(ENOMEM));
    }
    const auto receiveFrames = [&] {
        for (;;) {
            const int received = avcodec_receive_frame(decoder, frame.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                return true;
            }
            if (received < 0) {
                if (isFatal(received)) {
                    throw FileError(path, received);
                }
                lastError = received;
                continue;
            }
            if (!deliver(frame)) {
                return false;
            }
        }
    };
    const auto sendPacket = [&](const AVPacket* p) {
        const int sent = avcodec_send_packet(decoder, p);
        if (sent < 0 && sent != AVERROR_EOF) {
            if (isFatal(sent)) {
                throw FileError(path, sent);
            }
            lastError = sent;
        }
        return receiveFrames();
    };
    for (;;) {
        if (stop()) {
            return false;
        }
        const int read = av_read_frame(input, packet.get());
        if (read == AVERROR_EOF) {
            // A read error of the file (EIO, a vanished network mount) ends the demuxer
            // with EOF and leaves the reason in the I/O context. Reading stopped early
            // then: nothing partial is returned.
            if (input->pb && input->pb->error < 0) {
                throw FileError(path, input->pb->error);
            }
            break;
        }
        if (read < 0) {
            throw FileError(path, read);
        }
        const bool wanted = packet->stream_index == streamIndex;
        const bool more = !wanted || sendPacket(packet.get());
        av_packet_unref(packet.get());
        if (!more) {
            return false;
        }
    }
    return sendPacket(nullptr);
}

} // namespace taln::PacketReader
