#pragma once

// LoadAnalysis: the background part of a load: the file vetted, decoded, and everything the
// model installs with it computed (one noise profile per channel, the waveform and its scale).
//
// Threads: any thread (a worker's); reads only its arguments and the file. Each channel's
// noise is estimated on a thread of its own, the waveform alongside the first.
// Allocation: the decoded channels and what is computed from them, owned by the result.

#include "audio/audio_format.h"
#include "audio/channels.h"
#include "engine/noise_sample.h"
#include "model/peak.h"

#include <QString>
#include <atomic>
#include <filesystem>
#include <memory>
#include <vector>

namespace taln::LoadAnalysis {

// One per channel: its noise profile, hum lines and the frames they came from.
using NoiseSamples = std::vector<NoiseSample>;

// Either a failure or the decoded file with everything computed from it.
struct Result {
    // A failure carries the reason in `error`, or no reason when the load was given up.
    bool failed = false;
    QString error;
    Channels channels;
    // The channels' rate and layout, and how the source stored its samples.
    AudioFormat format;
    std::shared_ptr<const NoiseSamples> noise;
    // Empty, or lines for the user: where the sound had holes (now silent), that more than
    // eight channels were folded to 7.1, that the file decoded well short of its length.
    QString notice;
    std::shared_ptr<const std::vector<Peak>> peaks;
    float peakScale = 1.0f;
    // The file holds a video stream, which an export can give back with the cleaned sound.
    bool hasVideo = false;
};

// Reads `file` (called `name` in messages). A file without frames fails with the decoder's
// no-audio message; any exception becomes the failure's `error`. When `cancel` is set by the
// end of decoding, the decoded audio is freed at once and the result is a failure without a
// reason. `progress`, when given, receives the decoder's progress (see
// AudioDecoder::DecodeOptions): the share of the stated duration decoded, negative when the
// file states none. Failures people meet most read in plain words (describeLoadFailure).
Result run(const std::filesystem::path& file, const QString& name, const std::atomic<bool>& cancel,
           std::atomic<float>* progress = nullptr);

} // namespace taln::LoadAnalysis
