#include "audio/loudness.h"

#include "audio/loudness_meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace taln::Loudness {
namespace {

// BS.1770-4's gates: the absolute one at -70 LUFS, the relative one 10 LU under the mean of
// the blocks above the absolute one; a block's loudness is 10 log10(mean square) - 0.691.
constexpr double kAbsoluteGateLufs = -70.0;
constexpr double kRelativeGateLu = -10.0;
constexpr double kLoudnessOffset = -0.691;

// The plan's search: done when the predicted loudness is this close to the target.
constexpr double kSearchToleranceLu = 0.01;
constexpr int kSearchSteps = 12;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

double energyOf(double lufs) {
    return std::pow(10.0, (lufs - kLoudnessOffset) / 10.0);
}

double dbToGain(double db) {
    return std::pow(10.0, db / 20.0);
}

// The limiter (Normaliser) over the 64-frame table, at a gain of `gainDb`: each stretch's
// gain, as the limiter would set it around that stretch's peak, weighted by the stretch's
// energy into each 100 ms hop; each block's mean square then scales by its hops' weighted
// mean of the squared gain. The integrated loudness of the result, gated anew.
double predict(const Measurement& m, double gainDb, double thresholdDbtp) {
    const double gain = dbToGain(gainDb);
    const double threshold = dbToGain(thresholdDbtp);
    const std::size_t tiles = m.tilePeaks.size();
    const double lookAhead = std::max(1.0, kLookAheadSeconds * m.sampleRate);
    const auto window = static_cast<std::size_t>(std::ceil(lookAhead / kTileFrames));
    const double release = std::exp(-double(kTileFrames) / (kReleaseSeconds * m.sampleRate));
    const std::size_t hops = m.blocks.size() + 3;
    std::vector<double> energy(hops, 0.0);
    std::vector<double> kept(hops, 0.0);
    std::vector<double> recent(window, 1.0);
    double sum = double(window);
    double released = 1.0;
    for (std::size_t t = 0; t < tiles; ++t) {
        double hold = 1.0;
        for (std::size_t k = t; k < std::min(tiles, t + window); ++k) {
            const double peak = gain * m.tilePeaks[k];
            hold = std::min(hold, peak > threshold ? threshold / peak : 1.0);
        }
        released = std::min(hold, 1.0 - (1.0 - released) * release);
        double& slot = recent[t % window];
        sum += released - slot;
        slot = released;
        const double smoothed = std::min(1.0, sum / double(window));
        const std::size_t h = t / static_cast<std::size_t>(m.tilesPerHop);
        if (h < hops) {
            energy[h] += m.tileEnergies[t];
            kept[h] += smoothed * smoothed * m.tileEnergies[t];
        }
    }
    std::vector<double> blocks(m.blocks.size());
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        double e = 0.0;
        double k = 0.0;
        for (std::size_t h = j; h < j + 4; ++h) {
            e += energy[h];
            k += kept[h];
        }
        blocks[j] = m.blocks[j] * gain * gain * (e > 0.0 ? k / e : 1.0);
    }
    return gatedLoudness(blocks);
}

} // namespace

double gatedLoudness(const std::vector<double>& blocks) {
    const double absolute = energyOf(kAbsoluteGateLufs);
    double sum = 0.0;
    std::size_t count = 0;
    for (const double e : blocks) {
        if (e >= absolute) {
            sum += e;
            ++count;
        }
    }
    if (count == 0) {
        return -kInfinity;
    }
    const double relative = sum / double(count) * std::pow(10.0, kRelativeGateLu / 10.0);
    sum = 0.0;
    count = 0;
    for (const double e : blocks) {
        if (e >= absolute && e >= relative) {
            sum += e;
            ++count;
        }
    }
    return 10.0 * std::log10(sum / double(count)) + kLoudnessOffset;
}

Plan plan(const Measurement& m, double targetLufs, Encoding encoding, double extraMarginDb) {
    Plan result;
    result.thresholdDbtp = kTruePeakCeiling - kLimiterMarginDb - extraMarginDb -
                           (encoding == Encoding::lossy ? kLossyMarginDb : 0.0);
    Report& report = result.report;
    report.target = targetLufs;
    report.measured = m.integrated;
    if (m.blocks.empty()) {
        report.shortfall = Report::Shortfall::tooShort;
        return result;
    }
    if (!std::isfinite(m.integrated)) {
        report.shortfall = Report::Shortfall::silent;
        return result;
    }
    // The plain gain, then the secant method on the predicted loudness within the correction
    // allowed: the prediction rises with the gain, less steeply where the limiter works.
    const double plain = targetLufs - m.integrated;
    double gain = plain;
    double predicted = predict(m, gain, result.thresholdDbtp);
    double lastGain = gain;
    double lastPredicted = predicted;
    for (int step = 0; step < kSearchSteps && std::isfinite(predicted) &&
                       std::fabs(targetLufs - predicted) > kSearchToleranceLu;
         ++step) {
        double next = gain + (targetLufs - predicted);
        if (step > 0 && predicted != lastPredicted) {
            const double slope = (predicted - lastPredicted) / (gain - lastGain);
            if (slope > 0.0) {
                next = gain + (targetLufs - predicted) / slope;
            }
        }
        next = std::clamp(next, plain - kMaxCorrectionDb, plain + kMaxCorrectionDb);
        if (next == gain) {
            break;
        }
        lastGain = gain;
        lastPredicted = predicted;
        gain = next;
        predicted = predict(m, gain, result.thresholdDbtp);
    }
    if (!std::isfinite(predicted)) {
        gain = plain;
        predicted = predict(m, gain, result.thresholdDbtp);
    }
    result.gainDb = gain;
    report.gainDb = gain;
    report.achieved = predicted;
    if (!(std::fabs(targetLufs - predicted) <= kToleranceLu)) {
        // What the limiter alone takes away at this gain: the loudness a plain gain would give
        // against the prediction.
        const double unlimited = predict(m, gain, kInfinity);
        report.shortfall = unlimited - predicted > kToleranceLu ? Report::Shortfall::limited
                                                                : Report::Shortfall::gated;
    }
    return result;
}

Measurement measure(const ChunkedAudio& audio, const AudioFormat& format,
                    const PassProgress& progress) {
    Meter meter(audio.channelCount(), format);
    std::vector<const float*> sources(static_cast<std::size_t>(audio.channelCount()));
    const std::int64_t total = audio.frameCount();
    for (std::int64_t start = 0; start < total; start += kChunkFrames) {
        const std::int64_t chunk = ChunkedAudio::chunkOf(start);
        for (int c = 0; c < audio.channelCount(); ++c) {
            sources[static_cast<std::size_t>(c)] = audio.chunkData(c, chunk);
        }
        const std::int64_t n = audio.chunkFrames(chunk);
        meter.add(sources, n);
        progress.reach(start + n);
    }
    progress.end();
    return meter.finish();
}

std::string describe(const Report& report) {
    char text[256];
    const double target = report.target;
    switch (report.shortfall) {
    case Report::Shortfall::none:
        return {};
    case Report::Shortfall::tooShort:
        std::snprintf(text, sizeof text,
                      "The export is too short to measure its loudness (under 0.4 s), so it was "
                      "not brought to %.1f LUFS; its peaks were kept under %.0f dBTP.",
                      target, kTruePeakCeiling);
        break;
    case Report::Shortfall::silent:
        std::snprintf(text, sizeof text,
                      "The export is silent, so it could not be brought to %.1f LUFS.", target);
        break;
    case Report::Shortfall::limited:
        std::snprintf(text, sizeof text,
                      "The export is at %.1f LUFS, not %.1f LUFS: any louder would push its peaks "
                      "past %.0f dBTP.",
                      report.achieved, target, kTruePeakCeiling);
        break;
    case Report::Shortfall::gated:
        std::snprintf(text, sizeof text,
                      "The export is at %.1f LUFS, not %.1f LUFS: at that level most of it would "
                      "fall below the -70 LUFS at which loudness is no longer measured.",
                      report.achieved, target);
        break;
    }
    return text;
}

double integrated(const Channels& channels, double sampleRate) {
    if (channels.empty()) {
        throw std::invalid_argument("There is no audio to measure.");
    }
    for (const auto& channel : channels) {
        if (!channel || channel->size() != channels.front()->size()) {
            throw std::invalid_argument("The channels to measure differ in length.");
        }
    }
    if (!(sampleRate >= 1.0)) {
        throw std::invalid_argument("The sample rate must be at least 1 Hz.");
    }
    const AudioFormat format{static_cast<int>(std::lround(sampleRate)), 0, SampleDepth::float32};
    return measure(ChunkedAudio::fromChannels(channels), format, PassProgress({}, 0)).integrated;
}

} // namespace taln::Loudness
