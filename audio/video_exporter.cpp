#include "audio/video_exporter.h"

#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_handles.h"
#include "audio/ffmpeg_input.h"
#include "audio/loudness_normaliser.h"
#include "audio/replacing_file.h"
#include "audio/taln_error.h"
#include "audio/text_case.h"
#include "audio/track_encoder.h"
#include "audio/video_streams.h"
#include "audio/wording.h"

extern "C" {
#include <libavutil/dict.h>
}

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace taln::VideoExporter {
namespace {

// Frames of the audio encoded at a time (93 ms at 44.1 kHz): the sound is encoded in step with
// the copied packets, so the muxer's interleaving queue holds a fraction of a second, not the
// whole soundtrack.
constexpr std::int64_t kFeedFrames = 4096;
static_assert(kChunkFrames % kFeedFrames == 0, "a feed lies inside one chunk");

// The lowest bit rate the new audio gets, per channel: FFmpeg's AAC encoder at 96 kbit/s
// per channel is transparent for speech and keeps most music; a source that says it used
// more gets its own rate, so cleaning never costs quality in the encoding.
constexpr std::int64_t kMinBitRatePerChannel = 96000;

// The title of the original sound kept as a second track.
constexpr const char* kOriginalTitle = "Original";

// The new first audio stream: the audio read from its chunks, normalised when planned,
// encoded and handed to the muxer in step with the copied packets.
class NewSound {
public:
    NewSound(const ChunkedAudio& audio, const AudioFormat& format,
             const std::optional<Loudness::Plan>& plan, const AVStream& source,
             std::int64_t sourceStart, ChannelLayouts::Codec codec, AVFormatContext& muxer,
             AVStream& stream, const std::filesystem::path& destination,
             const PassProgress& progress)
        : audio_(audio), progress_(progress) {
        TrackEncoder::Settings settings;
        settings.codec = codec;
        settings.channelCount = audio.channelCount();
        settings.source = format;
        settings.bitRate = std::max<std::int64_t>(VideoStreams::sourceBitRate(source),
                                                  kMinBitRatePerChannel * audio.channelCount());
        encoder_.emplace(settings, muxer, stream, destination);
        VideoStreams::copyStreamProperties(source, stream, true);

        // Encoder input sample k plays at the source's start + k / rate. The encoder puts its
        // priming before the first sample, so its first packet starts `priming` samples
        // early. An MP4 edit list tells players to skip the priming, but FFmpeg writes one
        // only for time before 0; Matroska marks no priming for AAC; and a muxer that takes
        // no time before 0 would shift every stream to make room, moving the untouched
        // video's timestamps. So unless the priming falls before 0 in an MP4, the first
        // samples are dropped (21 ms of AAC at 48 kHz) and the priming takes their place: the
        // first packet goes where the source's first sample played.
        const AVRational rate{1, encoder_->rate()};
        const std::int64_t start =
            sourceStart == AV_NOPTS_VALUE ? 0 : av_rescale_q(sourceStart, source.time_base, rate);
        // FFmpeg 5.1's Matroska muxer records an Opus encoder's priming as the track's codec
        // delay but writes the packets' times as given, and players present every packet that
        // much earlier: there the packets are written that much later.
        const std::string_view muxerName = muxer.oformat->name;
        std::int64_t shift = 0;
        if ((muxerName == "matroska" || muxerName == "webm") &&
            codec == ChannelLayouts::Codec::opus) {
            shift = encoder_->priming();
        }
        const std::int64_t primed = start - encoder_->priming() + shift;
        std::int64_t drop = 0;
        if (!(primed < 0 && (muxer.oformat->flags & AVFMT_TS_NEGATIVE))) {
            drop = std::max<std::int64_t>(start, 0) - primed;
        }
        encoder_->placeStart(start + drop, drop, shift);
        if (plan) {
            normaliser_.emplace(*plan, audio.channelCount(), format.sampleRate);
            encoder_->checkCeiling(Loudness::kTruePeakCeiling - Loudness::kEstimateMarginDb,
                                   plan->stopPastCeiling);
        }
    }

    AudioFormat written() const { return encoder_->written(); }
    double encodedPeakDbtp() const { return encoder_->decodedPeakDbtp(); }
    std::int64_t packetsWritten() const { return encoder_->packetsWritten(); }

    // Encodes and writes the audio up to `seconds` on the source's timeline.
    void writeUntil(double seconds) {
        while (!inputDone_ && double(encoder_->nextTime()) / encoder_->rate() < seconds) {
            feed();
        }
    }

    // Encodes and writes the rest, then empties the encoder.
    void finish() {
        while (!inputDone_) {
            feed();
        }
        encoder_->finish();
    }

private:
    // The next kFeedFrames of the audio, through the normaliser when there is one; after the
    // last, what the normaliser still holds.
    void feed() {
        const auto toEncoder = [this](std::span<const float* const> channels, std::int64_t n) {
            encoder_->append(channels, n);
        };
        if (position_ >= audio_.frameCount()) {
            if (normaliser_) {
                normaliser_->finish(toEncoder);
            }
            inputDone_ = true;
            return;
        }
        const std::int64_t chunk = ChunkedAudio::chunkOf(position_);
        const std::int64_t n = std::min(kFeedFrames, audio_.frameCount() - position_);
        std::array<const float*, 8> sources{};
        for (int c = 0; c < audio_.channelCount(); ++c) {
            sources[static_cast<std::size_t>(c)] =
                audio_.chunkData(c, chunk) + (position_ - ChunkedAudio::chunkStart(chunk));
        }
        const std::span<const float* const> channels(
            sources.data(), static_cast<std::size_t>(audio_.channelCount()));
        if (normaliser_) {
            normaliser_->process(channels, n, toEncoder);
        } else {
            encoder_->append(channels, n);
        }
        position_ += n;
        progress_.reach(position_);
    }

    const ChunkedAudio& audio_;
    const PassProgress& progress_;
    std::optional<TrackEncoder> encoder_;
    std::optional<Loudness::Normaliser> normaliser_;
    std::int64_t position_ = 0; // the next frame of the audio to encode
    bool inputDone_ = false;
};

// The source's first audio stream as it was, after the new one: not the default, titled.
void describeOriginal(const AVStream& in, AVStream& out, const AVOutputFormat& format,
                      const std::filesystem::path& destination) {
    check(avcodec_parameters_copy(out.codecpar, in.codecpar), destination);
    VideoStreams::fitCodecTag(format, *out.codecpar);
    VideoStreams::copyStreamProperties(in, out, false);
    out.disposition &= ~AV_DISPOSITION_DEFAULT;
    av_dict_set(&out.metadata, "title", kOriginalTitle, 0);
    // MP4 and QuickTime name a track by its handler, and keep no title.
    av_dict_set(&out.metadata, "handler_name", kOriginalTitle, 0);
}

// Called once the muxer refused its header: throws std::invalid_argument naming the first
// stream copied from `source` that the container cannot hold (FFmpeg's own words for that,
// "Invalid argument" or "Function not implemented", would not say which, nor what to do) and
// the source's own container, which holds it; returns when no stream is to blame.
void refuseUnheldStream(const AVFormatContext& muxer, int newSound,
                        const VideoStreams::Container& container,
                        const std::filesystem::path& source,
                        const std::filesystem::path& destination) {
    for (unsigned i = 0; i < muxer.nb_streams; ++i) {
        const AVCodecParameters& copied = *muxer.streams[i]->codecpar;
        if (static_cast<int>(i) == newSound || VideoStreams::holds(*muxer.oformat, copied)) {
            continue;
        }
        std::string message = displayName(destination) + ": " + container.name + " cannot hold " +
                              VideoStreams::describeStream(copied) + " of " + displayName(source);
        const auto own = VideoStreams::containerFor(source);
        if (own && std::string_view(own->muxer) != container.muxer) {
            message += "; write " + lowercase(source.extension().string()) + " (" + own->name +
                       "), the source's own container";
        }
        throw std::invalid_argument(message);
    }
}

void copyPacket(AVPacket& packet, const AVStream& in, AVFormatContext& muxer, int outIndex,
                const std::filesystem::path& destination) {
    const AVStream& out = *muxer.streams[outIndex];
    av_packet_rescale_ts(&packet, in.time_base, out.time_base);
    packet.stream_index = outIndex;
    packet.pos = -1;
    check(av_interleaved_write_frame(&muxer, &packet), destination);
}

} // namespace

bool isVideoPath(const std::filesystem::path& path) {
    return VideoStreams::containerFor(path).has_value();
}

bool hasVideo(const std::filesystem::path& source) {
    const FfmpegInput opened(source);
    const AVFormatContext* input = opened.format();
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (VideoStreams::isVideoStream(*input->streams[i])) {
            return true;
        }
    }
    return false;
}

namespace {

// One writing of the video, the new sound's progress reported as [from, 1] of the control's.
// Returns the format of the new sound; `encodedPeakDbtp` its true peak decoded again, when
// checked.
AudioFormat writeOnce(const ChunkedAudio& audio, const AudioFormat& format,
                      const std::filesystem::path& source, const std::filesystem::path& destination,
                      const VideoStreams::Container& container, bool keepOriginalAudio,
                      const std::optional<Loudness::Plan>& plan, const WriteControl& control,
                      float from, double& encodedPeakDbtp) {
    const PassProgress progress(control, audio.frameCount(), from, 1.0f);
    progress.check();
    // The source is read as the decoder reads it: that one file, no nested opens.
    const FfmpegInput opened(source);
    AVFormatContext* input = opened.format();
    int audioIndex = -1;
    for (unsigned i = 0; i < input->nb_streams && audioIndex < 0; ++i) {
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            audioIndex = static_cast<int>(i);
        }
    }

    ReplacingFile file(destination);
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, container.muxer, nullptr), destination);
    OutputFormatPtr muxer(raw);
    muxer->pb = file.context();
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    av_dict_copy(&muxer->metadata, input->metadata, 0);
    VideoStreams::copyChapters(*input, *muxer);

    // Output stream of each input stream, in the same order; -1 for those left out.
    std::vector<int> outputIndex(input->nb_streams, -1);
    int originalIndex = -1;
    std::optional<NewSound> sound;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream& in = *input->streams[i];
        const bool replaced = static_cast<int>(i) == audioIndex;
        if (!replaced && in.codecpar->codec_id == AV_CODEC_ID_NONE &&
            in.codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT) {
            in.discard = AVDISCARD_ALL;
            continue;
        }
        AVStream* out = avformat_new_stream(muxer.get(), nullptr);
        if (!out) {
            throw std::bad_alloc();
        }
        outputIndex[i] = out->index;
        if (!replaced) {
            check(avcodec_parameters_copy(out->codecpar, in.codecpar), destination);
            VideoStreams::fitCodecTag(*muxer->oformat, *out->codecpar);
            VideoStreams::copyStreamProperties(in, *out, false);
            continue;
        }
        sound.emplace(audio, format, plan, in, VideoStreams::firstSampleTime(source, audioIndex),
                      container.codec, *muxer, *out, destination, progress);
        if (!keepOriginalAudio) {
            in.discard = AVDISCARD_ALL;
            continue;
        }
        out->disposition |= AV_DISPOSITION_DEFAULT;
        AVStream* original = avformat_new_stream(muxer.get(), nullptr);
        if (!original) {
            throw std::bad_alloc();
        }
        originalIndex = original->index;
        describeOriginal(in, *original, *muxer->oformat, destination);
    }
    const int header = avformat_write_header(muxer.get(), nullptr);
    if (header < 0) {
        refuseUnheldStream(*muxer, outputIndex[static_cast<std::size_t>(audioIndex)], container,
                           source, destination);
    }
    check(header, destination);

    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        throw std::bad_alloc();
    }
    std::int64_t copied = 0;
    for (;;) {
        progress.check();
        const int read = av_read_frame(input, packet.get());
        if (read == AVERROR_EOF) {
            // A read error ends the demuxer with EOF and leaves its reason in the context.
            if (input->pb && input->pb->error < 0) {
                throw FileError(source, input->pb->error);
            }
            break;
        }
        check(read, source);
        const int index = packet->stream_index;
        // Streams a demuxer finds only while reading (after the header) are not copied.
        const int out = index < static_cast<int>(outputIndex.size())
                            ? outputIndex[static_cast<std::size_t>(index)]
                            : -1;
        if (out < 0 || (index == audioIndex && originalIndex < 0)) {
            av_packet_unref(packet.get());
            continue;
        }
        const AVStream& in = *input->streams[index];
        const std::int64_t time = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        if (time != AV_NOPTS_VALUE) {
            sound->writeUntil(double(time) * av_q2d(in.time_base));
        }
        copyPacket(*packet, in, *muxer, index == audioIndex ? originalIndex : out, destination);
        ++copied;
    }
    opened.throwIfNestedOpen();
    sound->finish();
    // A video without a single frame and with less sound than the encoder's start-up delay
    // would be a file no player (nor Taln) opens: refused, nothing written.
    if (copied == 0 && sound->packetsWritten() == 0) {
        throw FileError(destination, AVERROR(EINVAL),
                        displayName(source) + " holds no video frames and too little sound to "
                                              "make a video of");
    }
    check(av_write_trailer(muxer.get()), destination);
    progress.end();
    muxer.reset();
    file.commit();
    encodedPeakDbtp = sound->encodedPeakDbtp();
    return sound->written();
}

} // namespace

AudioExporter::Written write(const ChunkedAudio& audio, const AudioFormat& format,
                             const std::filesystem::path& source,
                             const std::filesystem::path& destination, const Options& options,
                             const WriteControl& control) {
    AudioExporter::checkWritable(audio.channelCount(), format, AudioExporter::Kind::m4a);
    const std::optional<VideoStreams::Container> container =
        VideoStreams::containerFor(destination);
    if (!container) {
        throw std::invalid_argument(displayName(destination) +
                                    ": a video must end in .mp4, .m4v, .mov, .mkv or .webm");
    }
    {
        const FfmpegInput opened(source);
        const AVFormatContext* input = opened.format();
        bool video = false;
        bool sound = false;
        for (unsigned i = 0; i < input->nb_streams; ++i) {
            const AVStream& stream = *input->streams[i];
            video = video || VideoStreams::isVideoStream(stream);
            sound = sound || stream.codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        }
        if (!video) {
            throw std::invalid_argument(Wording::noVideo(displayName(source)));
        }
        if (!sound) {
            throw TalnError(TalnError::noAudio);
        }
    }

    AudioExporter::Written result;
    double encodedPeak = 0.0;
    if (!options.loudness) {
        result.format = writeOnce(audio, format, source, destination, *container,
                                  options.keepOriginalAudio, {}, control, 0.0f, encodedPeak);
        return result;
    }
    float from = options.measured ? 0.0f : AudioExporter::measuringShare(AudioExporter::Kind::m4a);
    std::optional<Loudness::Measurement> own;
    if (!options.measured) {
        own =
            Loudness::measure(audio, format, PassProgress(control, audio.frameCount(), 0.0f, from));
    }
    const Loudness::Measurement& measurement = options.measured ? *options.measured : *own;
    double extraMarginDb = 0.0;
    for (int attempt = 1;; ++attempt) {
        Loudness::Plan plan = Loudness::plan(measurement, *options.loudness,
                                             Loudness::Encoding::lossy, extraMarginDb);
        plan.stopPastCeiling = attempt < AudioExporter::kWriteAttempts;
        try {
            result.format = writeOnce(audio, format, source, destination, *container,
                                      options.keepOriginalAudio, plan, control, from, encodedPeak);
            result.loudness = plan.report;
            result.loudness->encodedPeakDbtp = encodedPeak;
            return result;
        } catch (const Loudness::CeilingPassed& passed) {
            extraMarginDb += passed.excessDb() + AudioExporter::kRetryStepDb;
            if (control.progress != nullptr) {
                from = control.progress->load(std::memory_order_relaxed);
            }
        }
    }
}

} // namespace taln::VideoExporter
