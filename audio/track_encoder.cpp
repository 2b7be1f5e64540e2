#include "audio/track_encoder.h"

#include "audio/ffmpeg_error.h"
#include "audio/loudness.h"
#include "audio/pcm_samples.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <new>

namespace taln {
namespace {

// Frames of the source handed to the resampler at a time: 93 ms at 44.1 kHz, so that a
// video's sound is encoded in step with its copied packets.
constexpr std::int64_t kResampleFrames = 4096;

const char* encoderName(ChannelLayouts::Codec codec) {
    switch (codec) {
    case ChannelLayouts::Codec::opus:
        return "libopus";
    case ChannelLayouts::Codec::flac:
        return "flac";
    case ChannelLayouts::Codec::aac:
    case ChannelLayouts::Codec::pcm:
        break;
    }
    return "aac";
}

// Planar float where the encoder takes it (AAC), else interleaved float (libopus).
AVSampleFormat lossyFormat(const AVCodec& codec) {
    if (!codec.sample_fmts) {
        return AV_SAMPLE_FMT_FLTP;
    }
    for (const AVSampleFormat preferred : {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLT}) {
        for (const AVSampleFormat* f = codec.sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f) {
            if (*f == preferred) {
                return preferred;
            }
        }
    }
    return codec.sample_fmts[0];
}

SampleDepth flacDepth(SampleDepth source) {
    return source == SampleDepth::int16 || source == SampleDepth::lossy ? SampleDepth::int16
                                                                        : SampleDepth::int24;
}

} // namespace

TrackEncoder::TrackEncoder(const Settings& settings, AVFormatContext& muxer, AVStream& stream,
                           const std::filesystem::path& path)
    : muxer_(muxer), stream_(stream), path_(path), channelCount_(settings.channelCount) {
    const std::uint64_t mask =
        ChannelLayouts::maskFor(settings.source.channelMask, settings.channelCount);
    mapping_ = ChannelLayouts::mappingFor(settings.codec, mask);
    const bool flac = settings.codec == ChannelLayouts::Codec::flac;
    written_.sampleRate = ChannelLayouts::rateFor(settings.codec, settings.source.sampleRate);
    written_.channelMask = mapping_.mask;
    written_.depth = flac ? flacDepth(settings.source.depth) : SampleDepth::lossy;

    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName(settings.codec));
    if (!codec) {
        throw FileError(path_, AVERROR_ENCODER_NOT_FOUND);
    }
    encoder_.reset(avcodec_alloc_context3(codec));
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!encoder_ || !packet_ || !frame_) {
        throw std::bad_alloc();
    }
    AVCodecContext& encoder = *encoder_;
    if (flac) {
        const bool deep = written_.depth == SampleDepth::int24;
        encoder.sample_fmt = deep ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S16;
        encoder.bits_per_raw_sample = deep ? 24 : 16;
    } else {
        encoder.sample_fmt = lossyFormat(*codec);
        encoder.bit_rate = settings.bitRate;
    }
    encoder.sample_rate = written_.sampleRate;
    check(av_channel_layout_from_mask(&encoder.ch_layout, mapping_.mask), path_);
    encoder.time_base = AVRational{1, written_.sampleRate};
    if (muxer.oformat->flags & AVFMT_GLOBALHEADER) {
        encoder.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    check(avcodec_open2(&encoder, codec, nullptr), path_);
    check(avcodec_parameters_from_context(stream.codecpar, &encoder), path_);
    stream.time_base = encoder.time_base;
    frameSize_ = encoder.frame_size > 0 ? encoder.frame_size : 1024;

    frame_->format = encoder.sample_fmt;
    frame_->sample_rate = encoder.sample_rate;
    frame_->nb_samples = frameSize_;
    check(av_channel_layout_copy(&frame_->ch_layout, &encoder.ch_layout), path_);
    check(av_frame_get_buffer(frame_.get(), 0), path_);

    const bool sameRate = written_.sampleRate == settings.source.sampleRate;
    if (flac || (sameRate && encoder.sample_fmt == AV_SAMPLE_FMT_FLTP)) {
        return;
    }
    // The same layout on both sides: the resampler only changes the rate and the sample
    // format, it never mixes channels.
    SwrContext* raw = nullptr;
    int ret = swr_alloc_set_opts2(&raw, &encoder.ch_layout, encoder.sample_fmt, written_.sampleRate,
                                  &encoder.ch_layout, AV_SAMPLE_FMT_FLTP,
                                  settings.source.sampleRate, 0, nullptr);
    resampler_.reset(raw);
    if (ret >= 0) {
        ret = swr_init(resampler_.get());
    }
    check(ret, path_);
    resampled_.reset(av_frame_alloc());
    if (!resampled_) {
        throw std::bad_alloc();
    }
    scratch_.assign(static_cast<std::size_t>(channelCount_),
                    std::vector<float>(static_cast<std::size_t>(kResampleFrames)));
}

TrackEncoder::~TrackEncoder() = default;

int TrackEncoder::priming() const {
    return encoder_->initial_padding;
}

void TrackEncoder::placeStart(std::int64_t firstTime, std::int64_t drop, std::int64_t shift) {
    nextTime_ = firstTime;
    drop_ = drop;
    shift_ = shift;
}

void TrackEncoder::checkCeiling(double limitDbtp, bool stop) {
    const AVCodec* codec = avcodec_find_decoder(encoder_->codec_id);
    decoder_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
    decoded_.reset(av_frame_alloc());
    if (!codec || !decoder_ || !decoded_) {
        throw FileError(path_, codec ? AVERROR(ENOMEM) : AVERROR_DECODER_NOT_FOUND);
    }
    check(avcodec_parameters_to_context(decoder_.get(), stream_.codecpar), path_);
    decoder_->pkt_timebase = encoder_->time_base;
    check(avcodec_open2(decoder_.get(), codec, nullptr), path_);
    peaks_.emplace(channelCount_);
    limit_ = std::pow(10.0, limitDbtp / 20.0);
    stop_ = stop;
}

// The packet (null: the end) through the decoder, its samples into the peak estimate; throws
// once that passes the limit.
void TrackEncoder::decodeAgain(const AVPacket* packet) {
    check(avcodec_send_packet(decoder_.get(), packet), path_);
    for (;;) {
        const int ret = avcodec_receive_frame(decoder_.get(), decoded_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            break;
        }
        check(ret, path_);
        // AAC and Opus decode to planar float.
        if (decoded_->format == AV_SAMPLE_FMT_FLTP) {
            peaks_->add(std::span<const float* const>(
                            reinterpret_cast<const float* const*>(decoded_->extended_data),
                            static_cast<std::size_t>(channelCount_)),
                        decoded_->nb_samples);
        }
        av_frame_unref(decoded_.get());
    }
    const float peak = packet ? peaks_->peak() : peaks_->finish();
    decodedPeakDbtp_ = 20.0 * std::log10(double(peak));
    if (stop_ && peak > limit_) {
        throw Loudness::CeilingPassed(20.0 * std::log10(double(peak) / limit_));
    }
}

// Source frames [from, from + n) into the frame being filled, converted to the encoder's
// sample format, in the written layout's order.
void TrackEncoder::convertInto(std::span<const float* const> channels, std::int64_t from, int n) {
    if (filled_ == 0) {
        frame_->nb_samples = frameSize_;
        check(av_frame_make_writable(frame_.get()), path_); // the encoder may still hold it
    }
    const float* sources[8] = {};
    for (int c = 0; c < channelCount_; ++c) {
        sources[c] =
            channels[static_cast<std::size_t>(mapping_.from[static_cast<std::size_t>(c)])] + from;
    }
    const std::span<const float* const> ordered(sources, static_cast<std::size_t>(channelCount_));
    switch (encoder_->sample_fmt) {
    case AV_SAMPLE_FMT_S16:
        PcmSamples::interleave(PcmSamples::Encoding::int16, ordered, n,
                               frame_->data[0] + std::size_t{2} * filled_ * channelCount_);
        break;
    case AV_SAMPLE_FMT_S32:
        PcmSamples::interleaveInt24In32(ordered, n,
                                        reinterpret_cast<std::int32_t*>(frame_->data[0]) +
                                            std::size_t(filled_) * channelCount_);
        break;
    default: // planar float: the only format without a resampler
        for (int c = 0; c < channelCount_; ++c) {
            float* out = reinterpret_cast<float*>(frame_->extended_data[c]) + filled_;
            for (int i = 0; i < n; ++i) {
                out[i] = PcmSamples::finiteWithin(sources[c][i]);
            }
        }
        break;
    }
    filled_ += n;
    if (filled_ == frameSize_) {
        sendFrame();
    }
}

// Resampled samples [from, from + n) into the frame being filled.
void TrackEncoder::copyResampled(int from, int n) {
    if (filled_ == 0) {
        frame_->nb_samples = frameSize_;
        check(av_frame_make_writable(frame_.get()), path_);
    }
    check(av_samples_copy(frame_->extended_data, resampled_->extended_data, filled_, from, n,
                          channelCount_, static_cast<AVSampleFormat>(encoder_->sample_fmt)),
          path_);
    filled_ += n;
    if (filled_ == frameSize_) {
        sendFrame();
    }
}

void TrackEncoder::append(std::span<const float* const> channels, std::int64_t frames) {
    if (frames <= 0) {
        return;
    }
    if (resampler_) {
        resample(channels, frames);
        return;
    }
    for (std::int64_t done = 0; done < frames;) {
        if (drop_ > 0) {
            const std::int64_t skipped = std::min(drop_, frames - done);
            drop_ -= skipped;
            done += skipped;
            continue;
        }
        const auto n =
            static_cast<int>(std::min<std::int64_t>(frameSize_ - filled_, frames - done));
        convertInto(channels, done, n);
        done += n;
    }
}

// Through the resampler, then into encoder frames; `frames` 0 empties the resampler (the end).
void TrackEncoder::resample(std::span<const float* const> channels, std::int64_t frames) {
    std::int64_t done = 0;
    do {
        const auto n = static_cast<int>(std::min(kResampleFrames, frames - done));
        const std::uint8_t* inputs[8] = {};
        for (int c = 0; c < channelCount_ && n > 0; ++c) {
            const float* source =
                channels[static_cast<std::size_t>(mapping_.from[static_cast<std::size_t>(c)])] +
                done;
            float* clean = scratch_[static_cast<std::size_t>(c)].data();
            for (int i = 0; i < n; ++i) {
                clean[i] = PcmSamples::finiteWithin(source[i]);
            }
            inputs[c] = reinterpret_cast<const std::uint8_t*>(clean);
        }
        const int capacity = swr_get_out_samples(resampler_.get(), n);
        check(capacity, path_);
        if (capacity > resampled_->nb_samples) {
            av_frame_unref(resampled_.get());
            resampled_->format = encoder_->sample_fmt;
            resampled_->nb_samples = capacity;
            check(av_channel_layout_copy(&resampled_->ch_layout, &encoder_->ch_layout), path_);
            check(av_frame_get_buffer(resampled_.get(), 0), path_);
        }
        const int produced = swr_convert(resampler_.get(), resampled_->extended_data, capacity,
                                         n > 0 ? inputs : nullptr, n);
        check(produced, path_);
        int at = 0;
        while (at < produced) {
            if (drop_ > 0) {
                const auto skipped = static_cast<int>(std::min<std::int64_t>(drop_, produced - at));
                drop_ -= skipped;
                at += skipped;
                continue;
            }
            const int count = std::min(frameSize_ - filled_, produced - at);
            copyResampled(at, count);
            at += count;
        }
        done += n;
        if (frames == 0 && produced == 0) {
            return;
        }
    } while (done < frames || frames == 0);
}

void TrackEncoder::sendFrame() {
    const bool smallLast = encoder_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
    if (filled_ < frameSize_ && !smallLast) {
        av_samples_set_silence(frame_->extended_data, filled_, frameSize_ - filled_, channelCount_,
                               static_cast<AVSampleFormat>(encoder_->sample_fmt));
        filled_ = frameSize_;
    }
    frame_->nb_samples = filled_;
    frame_->pts = nextTime_;
    nextTime_ += filled_;
    filled_ = 0;
    encode(frame_.get());
}

// Sends the frame (null: the end of the audio) and muxes every packet the encoder has ready.
void TrackEncoder::encode(const AVFrame* frame) {
    check(avcodec_send_frame(encoder_.get(), frame), path_);
    for (;;) {
        const int ret = avcodec_receive_packet(encoder_.get(), packet_.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return;
        }
        check(ret, path_);
        if (decoder_) {
            decodeAgain(packet_.get());
        }
        if (packet_->pts != AV_NOPTS_VALUE) {
            packet_->pts += shift_;
        }
        if (packet_->dts != AV_NOPTS_VALUE) {
            packet_->dts += shift_;
        }
        av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_.time_base);
        packet_->stream_index = stream_.index;
        check(av_interleaved_write_frame(&muxer_, packet_.get()), path_);
        ++packets_;
    }
}

void TrackEncoder::finish() {
    if (resampler_) {
        resample({}, 0);
    }
    if (filled_ > 0) {
        sendFrame();
    }
    encode(nullptr);
    if (decoder_) {
        decodeAgain(nullptr);
    }
}

} // namespace taln
