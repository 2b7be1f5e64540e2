#include "audio/packet_reader.h"

namespace taln::PacketReader {

CodecContextPtr openDecoder(const AVStream& stream, const std::filesystem::path& path) {
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!codec) {
        throw FileError(path, AVERROR_DECODER_NOT_FOUND);
    }
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder) {
        throw FileError(path, AVERROR(ENOMEM));
    }
    int ret = avcodec_parameters_to_context(decoder.get(), stream.codecpar);
    if (ret >= 0) {
        decoder->pkt_timebase = stream.time_base;
        ret = avcodec_open2(decoder.get(), codec, nullptr);
    }
    if (ret < 0) {
        throw FileError(path, ret);
    }
    return decoder;
}

} // namespace taln::PacketReader
