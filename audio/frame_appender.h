#pragma once

// FrameAppender: the decoder's timeline. Decoded frames are converted by libswresample to
// planar float at the output rate and layout (both the first frame's; see AudioDecoder's
// header), placed where their timestamps say (holes filled with silence, overlaps dropped) and
// appended to the channels, under the memory bound. The converter is rebuilt when a stream
// changes its sample format, rate or layout midway (some broadcast recordings do), after
// draining the old one, and after a hole. Non-finite samples become 0 and the rest is clipped
// at PcmSamples::kSampleLimit.
// One thread at a time. Memory: the channels (reserved from the stated duration, within what
// the file's size makes plausible) and one converted frame of scratch per channel.

#include "audio/audio_decoder.h"
#include "audio/ffmpeg_handles.h"
#include "audio/memory_bound.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <vector>

namespace taln::AudioDecoder {

// The input rates decoded; frames outside are treated as damaged. Below 1 kHz no recording
// exists, and resampling up multiplies the data: a 9 KB WAV header claiming 1 Hz became
// 1.6 GB of samples at 44,100 Hz, 5 GB of memory at its peak and most of a minute. Above, the
// resampler's filter grows with the ratio: a 500-byte WAV claiming 1.07 GHz took 600 MB and
// 6 s to set up. 3,072 kHz is four times the fastest PCM (768 kHz) and above the 2,822.4 kHz
// at which FFmpeg decodes the densest DSD.
inline constexpr int kMinInputRate = 1000;
inline constexpr int kMaxInputRate = 3072000;

// The rate a stream at `inputRate` is decoded at: 8 to 192 kHz as it is, slower up to 8 kHz,
// faster halved until it fits.
int outputRate(int inputRate);

// `frames` as far as a file of `bytes` bytes makes them plausible (kMaxFramesPerByte; 0 when
// the size is unknown): a 9 KB header claiming 19 hours reserved 12 GB.
std::int64_t plausibleFrames(std::int64_t frames, std::int64_t bytes);

// What the stream's timestamps may tell, fixed before decoding.
struct Timing {
    AVRational timeBase{0, 1};
    // False for containers whose audio timestamps are counted, not stated.
    bool followTimestamps = true;
    // The container's duration; 0 when it states none.
    double statedSeconds = 0.0;
    // The file's size; negative when unknown.
    std::int64_t fileBytes = -1;
};

class FrameAppender {
public:
    // `path` names the file in messages; it and `bound` must outlive the appender.
    FrameAppender(const std::filesystem::path& path, const MemoryBound& bound, const Timing& timing)
        : path_(path), bound_(bound), timing_(timing) {}

    ~FrameAppender();

    FrameAppender(const FrameAppender&) = delete;
    FrameAppender& operator=(const FrameAppender&) = delete;

    // Converts and appends one frame (one without samples or channels adds nothing). False
    // when the frame's rate is outside kMinInputRate ... kMaxInputRate: it is skipped as
    // damaged.
    bool append(const AVFrame& frame);

    // Empties the converter's delay line into the channels (call once after the last frame).
    void drain();

    std::int64_t frames() const;
    int rate() const { return rate_; }
    // The layout written, as FFmpeg's native channel mask.
    std::uint64_t channelMask() const;
    int sourceChannels() const { return sourceChannels_; }
    int firstFormat() const { return firstFormat_; }
    double startSeconds() const { return startSeconds_; }
    std::int64_t statedFrames() const { return statedFrames_; }
    std::vector<Gap>& gaps() { return gaps_; }
    std::vector<std::vector<float>>& channels() { return channels_; }

private:
    // The first frame fixes the rate and the layout, and with them the stated length and the
    // room reserved.
    void start(const AVFrame& frame);

    // Places `frame` on the timeline (see AudioDecoder's header): fills a hole before it with
    // silence, or returns how many of its samples overlap the audio before it and are dropped.
    int place(const AVFrame& frame);

    // Silence from the end of the audio so far up to `time` seconds from its start. The
    // converter is drained first, so that the silence follows all of the audio before it,
    // and rebuilt for the audio after.
    void fillHole(double time);

    // The frame's sample planes from sample `skip` on.
    const std::uint8_t** input(const AVFrame& frame, int skip);

    // Reserves room for `frames` frames per channel, so that the channels do not grow by
    // copying themselves. Only address space: pages are touched as frames arrive. A
    // reservation the system refuses is skipped; the channels then grow as they fill.
    void reserve(std::int64_t frames);

    void reconfigure(AVChannelLayout layout, int format, int rate);

    // A converter from the input to the output format, remixing by libswresample's own matrix
    // or, with `plainMatrix`, by setPlainMatrix's.
    int openResampler(bool plainMatrix);

    // Converts `count` input frames (none: drain) straight into per-channel scratch, then
    // appends the scratch to the channels: one copy into the growing channel arrays.
    int convert(const std::uint8_t** input, int count);

    const std::filesystem::path& path_;
    const MemoryBound& bound_;
    const Timing timing_;
    std::vector<std::vector<float>> channels_;
    std::vector<std::vector<float>> scratch_;
    std::vector<const std::uint8_t*> planes_;
    ResamplerPtr resampler_;
    AVChannelLayout outLayout_{};
    AVChannelLayout inLayout_{};
    int inFormat_ = -1;
    int inRate_ = 0;
    bool floatInput_ = true;
    int rate_ = 0;
    int sourceChannels_ = 0;
    int firstFormat_ = -1;
    std::int64_t statedFrames_ = 0;
    // Timestamps beyond this many seconds from the start are a new origin, not a hole.
    double holeLimit_ = std::numeric_limits<double>::infinity();
    // Seconds of audio appended so far, silence included; the time, from the first sample,
    // at which the next frame is due.
    double timeline_ = 0.0;
    // The stream's time of the first sample (moved by a new origin), once a frame had one.
    double origin_ = 0.0;
    double startSeconds_ = 0.0;
    bool anchored_ = false;
    // The last frame was dropped whole as overlapping.
    bool overlapping_ = false;
    std::vector<Gap> gaps_;
};

} // namespace taln::AudioDecoder
