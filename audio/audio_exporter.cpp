#include "audio/audio_exporter.h"

#include "audio/channel_layouts.h"
#include "audio/ffmpeg_error.h"
#include "audio/ffmpeg_handles.h"
#include "audio/loudness_normaliser.h"
#include "audio/pcm_samples.h"
#include "audio/track_encoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace taln::AudioExporter {
namespace {

// Frames written per step: memory beyond the input stays at one step (256 KiB per channel
// of 16-bit stereo interleaved) whatever the length of the recording.
constexpr std::int64_t kStepFrames = 65536;
static_assert(taln::kChunkFrames % kStepFrames == 0, "a step lies inside one chunk");

// AAC bit rate per channel: 96 kbit/s keeps speech and music transparent to most ears at
// 44.1 kHz, and a one-hour stereo export near 86 MB.
constexpr std::int64_t kAacBitRatePerChannel = 96000;

constexpr int kMaxRate = 768000;
// The lowest rate AAC is written from: its lowest rate, 7,350 Hz, is then at most 7.35 times
// as many samples.
constexpr int kMinAacSourceRate = 1000;

// M4A to a pipe: fragments of this many microseconds, each a moof box and its samples.
constexpr const char* kFragmentMicroseconds = "1000000";

// Seconds each pass of a normalised export takes over a 10-minute stereo recording at 44.1 kHz
// (processor time, measured here): the loudness measurement, and writing each kind with the
// limiter (an M4A also decoding its packets again to check their peaks). The measurement gets
// its share of the progress bar.
constexpr double kMeasureSeconds = 0.62;
constexpr double kWavSeconds = 0.29;
constexpr double kFlacSeconds = 1.17;
constexpr double kM4aSeconds = 16.0;

PcmSamples::Encoding encodingOf(SampleDepth depth) {
    switch (depth) {
    case SampleDepth::int24:
        return PcmSamples::Encoding::int24;
    case SampleDepth::int32:
        return PcmSamples::Encoding::int32;
    case SampleDepth::float32:
        return PcmSamples::Encoding::float32;
    case SampleDepth::int16:
    case SampleDepth::lossy:
        break;
    }
    return PcmSamples::Encoding::int16;
}

AVCodecID pcmCodec(PcmSamples::Encoding encoding) {
    switch (encoding) {
    case PcmSamples::Encoding::int24:
        return AV_CODEC_ID_PCM_S24LE;
    case PcmSamples::Encoding::int32:
        return AV_CODEC_ID_PCM_S32LE;
    case PcmSamples::Encoding::float32:
        return AV_CODEC_ID_PCM_F32LE;
    case PcmSamples::Encoding::int16:
        break;
    }
    return AV_CODEC_ID_PCM_S16LE;
}

// Calls fn(channels, frames, firstFrame) for the audio in steps of kStepFrames, each inside one
// chunk.
template <class Fn> void forEachStep(const ChunkedAudio& audio, Fn&& fn) {
    std::array<const float*, 8> sources{};
    const std::int64_t total = audio.frameCount();
    for (std::int64_t start = 0; start < total; start += kStepFrames) {
        const std::int64_t chunk = ChunkedAudio::chunkOf(start);
        for (int c = 0; c < audio.channelCount(); ++c) {
            sources[static_cast<std::size_t>(c)] =
                audio.chunkData(c, chunk) + (start - ChunkedAudio::chunkStart(chunk));
        }
        const std::int64_t n = std::min(total - start, kStepFrames);
        fn(std::span<const float* const>(sources.data(),
                                         static_cast<std::size_t>(audio.channelCount())),
           n, start);
    }
}

} // namespace

float measuringShare(Kind kind) {
    const double writing = kind == Kind::wav    ? kWavSeconds
                           : kind == Kind::flac ? kFlacSeconds
                                                : kM4aSeconds;
    return static_cast<float>(kMeasureSeconds / (kMeasureSeconds + writing));
}

SampleDepth depthFor(Kind kind, SampleDepth source, bool forceFloat) {
    switch (kind) {
    case Kind::m4a:
        return SampleDepth::lossy;
    case Kind::flac:
        return source == SampleDepth::int16 || source == SampleDepth::lossy ? SampleDepth::int16
                                                                            : SampleDepth::int24;
    case Kind::wav:
        break;
    }
    if (forceFloat) {
        return SampleDepth::float32;
    }
    return source == SampleDepth::lossy ? SampleDepth::int16 : source;
}

void checkWritable(int channelCount, const AudioFormat& format, Kind kind) {
    if (channelCount <= 0) {
        throw std::invalid_argument("There is no audio to export.");
    }
    if (channelCount > 8) {
        throw std::invalid_argument("At most 8 channels can be exported.");
    }
    ChannelLayouts::maskFor(format.channelMask, channelCount);
    const int rate = format.sampleRate;
    if (rate < 1 || rate > kMaxRate) {
        throw std::invalid_argument("A sample rate of " + std::to_string(rate) +
                                    " Hz cannot be written.");
    }
    if (kind == Kind::m4a && rate < kMinAacSourceRate) {
        throw std::invalid_argument("AAC cannot be written from audio at " + std::to_string(rate) +
                                    " Hz.");
    }
    // FFmpeg's FLAC encoder: any rate under 65,535 Hz, beyond it a multiple of 10 Hz.
    if (kind == Kind::flac && rate >= 65535 && (rate % 10 != 0 || rate >= 655350)) {
        throw std::invalid_argument("FLAC cannot hold a rate of " + std::to_string(rate) + " Hz.");
    }
}

// One file being written: the temporary file and its muxer (declared after it, so that it is
// freed first); for WAV the PCM packet being made, else the encoder; and the normaliser.
struct Stream::State {
    std::filesystem::path path;
    int channelCount = 0;
    AudioFormat written;
    PcmSamples::Encoding encoding = PcmSamples::Encoding::int16;
    ReplacingFile file;
    OutputFormatPtr muxer;
    AVStream* stream = nullptr;
    PacketPtr packet;
    std::int64_t frames = 0; // frames handed to a WAV's muxer
    std::vector<std::uint8_t> step;
    std::optional<TrackEncoder> encoder;
    std::optional<Loudness::Normaliser> normaliser;

    explicit State(const Destination& destination) : path(destination.path()), file(destination) {}

    void writeFrames(std::span<const float* const> channels, std::int64_t n);
};

namespace {

// WAV: PCM packets made here, no encoder needed.
void startWav(Stream::State& s, const AudioFormat& format, bool forceFloat) {
    s.written = format;
    s.written.channelMask = ChannelLayouts::maskFor(format.channelMask, s.channelCount);
    s.written.depth = depthFor(Kind::wav, format.depth, forceFloat);
    s.encoding = encodingOf(s.written.depth);
    const int bytes = PcmSamples::bytesPerSample(s.encoding);
    AVCodecParameters& parameters = *s.stream->codecpar;
    parameters.codec_type = AVMEDIA_TYPE_AUDIO;
    parameters.codec_id = pcmCodec(s.encoding);
    check(av_channel_layout_from_mask(&parameters.ch_layout, s.written.channelMask), s.path);
    parameters.sample_rate = format.sampleRate;
    parameters.bits_per_coded_sample = 8 * bytes;
    parameters.block_align = bytes * s.channelCount;
    parameters.bit_rate = std::int64_t{format.sampleRate} * s.channelCount * 8 * bytes;
    s.stream->time_base = AVRational{1, format.sampleRate};
    s.step.resize(static_cast<std::size_t>(kStepFrames * bytes * s.channelCount));
}

} // namespace

void Stream::State::writeFrames(std::span<const float* const> channels, std::int64_t frames) {
    if (encoder) {
        encoder->append(channels, frames);
        return;
    }
    const int bytes = PcmSamples::bytesPerSample(encoding);
    std::array<const float*, 8> from{};
    for (std::int64_t done = 0; done < frames; done += kStepFrames) {
        const std::int64_t n = std::min(frames - done, kStepFrames);
        for (int c = 0; c < channelCount; ++c) {
            from[static_cast<std::size_t>(c)] = channels[static_cast<std::size_t>(c)] + done;
        }
        PcmSamples::interleave(
            encoding, std::span<const float* const>(from.data(), channels.size()), n, step.data());
        AVPacket& p = *packet;
        p.data = step.data();
        p.size = static_cast<int>(n * bytes * channelCount);
        p.stream_index = stream->index;
        p.pts = p.dts = this->frames;
        p.duration = n;
        check(av_write_frame(muxer.get(), &p), path);
        this->frames += n;
    }
}

Stream::Stream(int channelCount, const AudioFormat& format, Kind kind,
               const Destination& destination, bool forceFloat,
               const std::optional<Loudness::Plan>& loudness) {
    checkWritable(channelCount, format, kind);
    state_ = std::make_unique<State>(destination);
    State& s = *state_;
    s.channelCount = channelCount;
    const char* muxerName = kind == Kind::wav ? "wav" : kind == Kind::flac ? "flac" : "ipod";
    AVFormatContext* raw = nullptr;
    check(avformat_alloc_output_context2(&raw, nullptr, muxerName, nullptr), s.path);
    s.muxer.reset(raw);
    s.muxer->pb = s.file.context();
    s.muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    s.stream = avformat_new_stream(s.muxer.get(), nullptr);
    s.packet.reset(av_packet_alloc());
    if (!s.stream || !s.packet) {
        throw FileError(s.path, AVERROR(ENOMEM));
    }
    AVDictionary* options = nullptr;
    if (kind == Kind::wav) {
        startWav(s, format, forceFloat);
        // A 16-bit stereo WAV passes the 4 GiB limit of the classic header after 6.7 hours;
        // the muxer then switches to RF64 instead of writing a wrong size.
        av_dict_set(&options, "rf64", "auto", 0);
    } else {
        TrackEncoder::Settings settings;
        settings.codec =
            kind == Kind::flac ? ChannelLayouts::Codec::flac : ChannelLayouts::Codec::aac;
        settings.channelCount = channelCount;
        settings.source = format;
        settings.bitRate = kAacBitRatePerChannel * channelCount;
        s.encoder.emplace(settings, *s.muxer, *s.stream, s.path);
        s.written = s.encoder->written();
        if (loudness && kind == Kind::m4a) {
            s.encoder->checkCeiling(Loudness::kTruePeakCeiling - Loudness::kEstimateMarginDb,
                                    loudness->stopPastCeiling);
        }
        if (kind == Kind::m4a && s.file.isPipe()) {
            // An MP4 that cannot go back to write its index: an empty one first, then each
            // fragment with its own; delay_moov lets the first one mark the encoder's priming.
            av_dict_set(&options, "movflags", "+empty_moov+delay_moov+default_base_moof", 0);
            av_dict_set(&options, "frag_duration", kFragmentMicroseconds, 0);
        }
    }
    const int header = avformat_write_header(s.muxer.get(), &options);
    av_dict_free(&options);
    check(header, s.path);
    if (loudness) {
        s.normaliser.emplace(*loudness, channelCount, format.sampleRate);
    }
}

Stream::~Stream() = default;

AudioFormat Stream::written() const {
    return state_->written;
}

double Stream::encodedPeakDbtp() const {
    return state_->encoder ? state_->encoder->decodedPeakDbtp()
                           : std::numeric_limits<double>::quiet_NaN();
}

void Stream::append(std::span<const float* const> channels, std::int64_t frames) {
    State& s = *state_;
    if (channels.size() != static_cast<std::size_t>(s.channelCount)) {
        throw std::invalid_argument("Every channel of the file needs its samples.");
    }
    if (s.normaliser) {
        s.normaliser->process(
            channels, frames,
            [&s](std::span<const float* const> out, std::int64_t n) { s.writeFrames(out, n); });
    } else {
        s.writeFrames(channels, frames);
    }
}

void Stream::finish() {
    State& s = *state_;
    if (s.normaliser) {
        s.normaliser->finish(
            [&s](std::span<const float* const> out, std::int64_t n) { s.writeFrames(out, n); });
    }
    if (s.encoder) {
        s.encoder->finish();
    }
    check(av_write_trailer(s.muxer.get()), s.path);
    s.file.commit();
}

namespace {

// One writing pass over the audio, reported as [from, 1] of the control's progress.
AudioFormat writeOnce(const ChunkedAudio& audio, const AudioFormat& format, Kind kind,
                      const Destination& destination, bool forceFloat,
                      const std::optional<Loudness::Plan>& plan, const WriteControl& control,
                      float from, double& encodedPeakDbtp) {
    const PassProgress progress(control, audio.frameCount(), from, 1.0f);
    progress.check();
    Stream stream(audio.channelCount(), format, kind, destination, forceFloat, plan);
    forEachStep(audio,
                [&](std::span<const float* const> channels, std::int64_t n, std::int64_t start) {
                    stream.append(channels, n);
                    progress.reach(start + n);
                });
    stream.finish();
    progress.end();
    encodedPeakDbtp = stream.encodedPeakDbtp();
    return stream.written();
}

} // namespace

Written write(const ChunkedAudio& audio, const AudioFormat& format, Kind kind,
              const Destination& destination, const Options& options, const WriteControl& control) {
    checkWritable(audio.channelCount(), format, kind);
    Written result;
    double encodedPeak = 0.0;
    if (!options.loudness) {
        result.format = writeOnce(audio, format, kind, destination, options.forceFloat, {}, control,
                                  0.0f, encodedPeak);
        return result;
    }
    float from = options.measured ? 0.0f : measuringShare(kind);
    std::optional<Loudness::Measurement> own;
    if (!options.measured) {
        own =
            Loudness::measure(audio, format, PassProgress(control, audio.frameCount(), 0.0f, from));
    }
    const Loudness::Measurement& measurement = options.measured ? *options.measured : *own;
    const Loudness::Encoding encoding =
        kind == Kind::m4a ? Loudness::Encoding::lossy : Loudness::Encoding::lossless;
    double extraMarginDb = 0.0;
    for (int attempt = 1;; ++attempt) {
        Loudness::Plan plan =
            Loudness::plan(measurement, *options.loudness, encoding, extraMarginDb);
        plan.stopPastCeiling = attempt < kWriteAttempts;
        try {
            result.format = writeOnce(audio, format, kind, destination, options.forceFloat, plan,
                                      control, from, encodedPeak);
            result.loudness = plan.report;
            result.loudness->encodedPeakDbtp = encodedPeak;
            return result;
        } catch (const Loudness::CeilingPassed& passed) {
            extraMarginDb += passed.excessDb() + kRetryStepDb;
            if (control.progress != nullptr) {
                from = control.progress->load(std::memory_order_relaxed);
            }
        }
    }
}

void write(const Channels& channels, double sampleRate, Kind kind,
           const std::filesystem::path& path, const WriteControl& control) {
    if (channels.empty()) {
        throw std::invalid_argument("There is no audio to export.");
    }
    for (const auto& channel : channels) {
        if (!channel || channel->size() != channels.front()->size()) {
            throw std::invalid_argument("The channels to export differ in length.");
        }
    }
    if (!(sampleRate >= 1.0 && sampleRate <= kMaxRate) || sampleRate != std::floor(sampleRate)) {
        throw std::invalid_argument("A sample rate of " + std::to_string(sampleRate) +
                                    " Hz cannot be written.");
    }
    const AudioFormat format{static_cast<int>(sampleRate), 0, SampleDepth::int16};
    write(ChunkedAudio::fromChannels(channels), format, kind, path, {}, control);
}

} // namespace taln::AudioExporter
