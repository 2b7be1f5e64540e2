#include "model/load_analysis.h"

#include "audio/audio_decoder.h"
#include "audio/taln_error.h"
#include "audio/video_exporter.h"
#include "engine/cleaner.h"
#include "engine/worker_pool.h"
#include "model/background_work.h"
#include "model/exception_text.h"
#include "model/retired_audio.h"
#include "model/waveform_peaks.h"

#include <QStringList>
#include <utility>

namespace taln::LoadAnalysis {

namespace {

// What the user should know about how the file was read, a line each.
QString noticeOf(const AudioDecoder::Decoded& decoded) {
    QStringList lines;
    if (const std::string gaps =
            AudioDecoder::describeGaps(decoded.gaps, decoded.format.sampleRate);
        !gaps.empty()) {
        lines << QString::fromStdString(gaps);
    }
    if (decoded.sourceChannels > static_cast<int>(decoded.channels.size())) {
        lines << QStringLiteral("The file has %1 channels; Taln keeps them folded to 7.1.")
                     .arg(decoded.sourceChannels);
    }
    if (!decoded.shortfallWarning.empty()) {
        lines << QString::fromStdString(decoded.shortfallWarning);
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

Result run(const std::filesystem::path& file, const QString& name, const std::atomic<bool>& cancel,
           std::atomic<float>* progress) {
    Result result;
    try {
        AudioDecoder::DecodeOptions options;
        options.cancel = &cancel;
        options.progress = progress;
        options.decodeAhead = WorkerPool::hardwareThreads() > 1;
        AudioDecoder::Decoded decoded = AudioDecoder::decodeFile(file, options);
        result.notice = noticeOf(decoded);
        result.channels = std::move(decoded.channels);
        result.format = decoded.format;
        if (cancel.load(std::memory_order_relaxed)) {
            // A later load started, or the model went, while this one was decoding: its
            // result will be dropped, so spare the analysis and give the memory back now.
            releaseChannels(std::exchange(result.channels, {}));
            result.failed = true;
        } else if (frameCount(result.channels) <= 0) {
            // The decoder reports a file without frames itself; never install one.
            throw TalnError(TalnError::noAudio);
        } else {
            auto noise = std::make_shared<NoiseSamples>(result.channels.size());
            auto buckets = std::make_shared<std::vector<Peak>>();
            BackgroundWork::forEachIndex(
                static_cast<std::int64_t>(result.channels.size()), [&](std::int64_t i) {
                    const auto c = static_cast<std::size_t>(i);
                    (*noise)[c] =
                        NoiseSample::measure(*result.channels[c], result.format.sampleRate);
                    if (i == 0) {
                        *buckets = WaveformPeaks::peaks(result.channels, WaveformPeaks::kBuckets);
                    }
                });
            result.peakScale = WaveformPeaks::scaleOf(*buckets);
            // Only a container Taln can write again counts.
            result.hasVideo = decoded.hasVideo && VideoExporter::isVideoPath(file);
            result.noise = std::move(noise);
            result.peaks = std::move(buckets);
        }
    } catch (...) {
        result.failed = true;
        result.channels.clear();
        result.error = describeLoadFailure(name);
    }
    return result;
}

} // namespace taln::LoadAnalysis
