#pragma once

// TrackEncoder: Taln's float audio -> one encoded audio stream of an FFmpeg muxer, for the
// M4A and FLAC files and for a video's new sound.
//
// The codec's layout and rate follow ChannelLayouts: the channels are put in the order of
// the layout written (no mixing), and resampled by libswresample only where the codec cannot
// hold the source's rate (AAC beyond 96 kHz, Opus at anything but 48 kHz). AAC is FFmpeg's
// native encoder, Opus is libopus, both fed float samples clipped at ±16 (+24 dBFS), far
// above any real recording, because the encoders hang or fail on samples in the millions; NaN
// and infinities become 0. FLAC is FFmpeg's encoder at its default compression, 16-bit for a
// 16-bit or lossy source, 24-bit for a deeper one (FFmpeg 5.1's encoder goes no further);
// its samples are converted as a WAV's are (PcmSamples).
// Frames go to the encoder in its own frame size (1,024 for AAC, 960 for Opus, 4,608 for
// FLAC at 44.1 kHz), the last one shorter; packets go to the muxer as they come out.
//
// A normalised lossy export checks its peaks after encoding (checkCeiling): each packet is
// decoded again and its true peak estimated, an eighth of the AAC encoder's time (1.6 s
// against 14 s for ten minutes of stereo).
// Memory: one encoder frame, and with resampling 4,096 frames of scratch per channel.
// One thread at a time. Errors: FileError with FFmpeg's code, naming `path`;
// Loudness::CeilingPassed from a check.

#include "audio/audio_format.h"
#include "audio/channel_layouts.h"
#include "audio/ffmpeg_handles.h"
#include "audio/true_peak.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace taln {

class TrackEncoder {
public:
    struct Settings {
        ChannelLayouts::Codec codec = ChannelLayouts::Codec::aac; // aac, opus or flac
        int channelCount = 0;
        AudioFormat source; // the audio's own rate, layout and depth
        // Lossy codecs: bits per second for all channels.
        std::int64_t bitRate = 0;
    };

    // Opens the encoder and describes it in `stream` of `muxer`, whose header is written after.
    TrackEncoder(const Settings& settings, AVFormatContext& muxer, AVStream& stream,
                 const std::filesystem::path& path);
    ~TrackEncoder();
    TrackEncoder(const TrackEncoder&) = delete;
    TrackEncoder& operator=(const TrackEncoder&) = delete;

    // For a video: the first sample kept goes at `firstTime` (in samples of rate()) after
    // `drop` samples of the encoder's input are left out, and every packet's times are moved
    // by `shift` samples. Call before the first append.
    void placeStart(std::int64_t firstTime, std::int64_t drop, std::int64_t shift);

    // Decodes every packet again as it is written and estimates its true peak (TruePeak);
    // with `stop`, once that passes `limitDbtp`, append() or finish() throws
    // Loudness::CeilingPassed.
    void checkCeiling(double limitDbtp, bool stop);

    // The true peak of the packets decoded again, dBTP, after finish(); NaN unless checked.
    double decodedPeakDbtp() const { return decodedPeakDbtp_; }

    // Encodes `frames` frames: channels[c] points at the source's channel c.
    void append(std::span<const float* const> channels, std::int64_t frames);

    // Encodes the rest and empties the encoder. Call once, before the muxer's trailer.
    void finish();

    // The rate, layout and depth written.
    AudioFormat written() const { return written_; }
    // The encoder's priming, in samples, which its first packet starts before the audio.
    int priming() const;
    // The time of the next sample to be encoded, in samples of the written rate.
    std::int64_t nextTime() const { return nextTime_; }
    // How many packets were handed to the muxer.
    std::int64_t packetsWritten() const { return packets_; }
    int rate() const { return written_.sampleRate; }

private:
    void convertInto(std::span<const float* const> channels, std::int64_t from, int n);
    void copyResampled(int from, int n);
    void sendFrame();
    void encode(const AVFrame* frame);
    void resample(std::span<const float* const> channels, std::int64_t frames);
    void decodeAgain(const AVPacket* packet);

    AVFormatContext& muxer_;
    AVStream& stream_;
    std::filesystem::path path_;
    AudioFormat written_;
    ChannelLayouts::Mapping mapping_;
    int channelCount_ = 0;
    CodecContextPtr encoder_;
    ResamplerPtr resampler_; // only when the rate or the sample format changes
    FramePtr frame_;         // the frame being filled for the encoder
    FramePtr resampled_;     // the resampler's output
    PacketPtr packet_;
    std::vector<std::vector<float>> scratch_; // the resampler's input, made finite and clipped
    int frameSize_ = 1024;
    int filled_ = 0;            // samples in frame_ not yet sent
    std::int64_t nextTime_ = 0; // the next sample's time, in samples of the written rate
    std::int64_t drop_ = 0;     // samples still to leave out at the start
    std::int64_t shift_ = 0;    // added to every packet's times
    std::int64_t packets_ = 0;
    // The check of the encoded peaks: a decoder of the packets and the peak of what it gives.
    CodecContextPtr decoder_;
    FramePtr decoded_;
    std::optional<TruePeak::Meter> peaks_;
    double limit_ = 0.0; // linear
    bool stop_ = true;
    double decodedPeakDbtp_ = std::numeric_limits<double>::quiet_NaN();
};

} // namespace taln
