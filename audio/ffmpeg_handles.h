#pragma once

// Owning handles for the FFmpeg objects the audio file code uses: std::unique_ptr with the
// matching FFmpeg release function, so every exit (normal or thrown) frees them.
// Any thread; each handle is used by one thread at a time.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

#include <memory>

namespace taln {

struct InputFormatCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ResamplerFreer {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
// An output's format context, whose I/O context (AVFMT_FLAG_CUSTOM_IO) its owner frees.
struct OutputFormatFreer {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatCloser>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerFreer>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatFreer>;

} // namespace taln
