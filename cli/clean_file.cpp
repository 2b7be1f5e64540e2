#include "cli/clean_file.h"

#include "audio/audio_decoder.h"
#include "audio/audio_exporter.h"
#include "audio/ffmpeg_error.h"
#include "audio/file_error.h"
#include "audio/loudness.h"
#include "audio/loudness_meter.h"
#include "audio/replacing_file.h"
#include "audio/spill_file.h"
#include "audio/video_exporter.h"
#include "audio/wording.h"
#include "engine/cancel_token.h"
#include "engine/hum_detector.h"
#include "engine/noise_sample.h"
#include "engine/piece_scheduler.h"
#include "engine/real_fft.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace taln::cli {

namespace {

// Without a wisdom file to keep them in, measured FFT plans take 0.3 to 0.6 s to make in every
// run and save about 0.08 s of one thread per 10 minutes of channel at 44.1 kHz: they pay only
// from about an hour of audio per thread, 158.76 million frames.
constexpr std::int64_t kMeasuredPlansFrom = 3600 * 44100;

// OUTPUT must not be INPUT by any name (a link, another path to it): the cleaned audio would
// replace the original recording. Both must exist to be the same file.
void refuseOutputThatIsInput(const std::filesystem::path& input,
                             const std::filesystem::path& output) {
    std::error_code ec;
    if (std::filesystem::equivalent(input, output, ec) && !ec) {
        throw std::runtime_error(displayName(output) + " is the input file: " +
                                 "choose another OUTPUT to keep the original recording");
    }
}

// The --noise-from stretch must hold one whole frame of INPUT.
// In samples at `sampleRate` (floor(START × rate) up to floor(END × rate)).
std::pair<std::int64_t, std::int64_t> checkStretch(const std::pair<double, double>& seconds,
                                                   double sampleRate, std::int64_t frames) {
    const auto first =
        std::min(static_cast<std::int64_t>(std::floor(seconds.first * sampleRate)), frames);
    const auto last =
        std::min(static_cast<std::int64_t>(std::floor(seconds.second * sampleRate)), frames);
    if (last - first < Cleaner::kFrameLength) {
        char shortest[32];
        std::snprintf(shortest, sizeof shortest, "%.2f",
                      double(Cleaner::kFrameLength) / sampleRate);
        throw std::runtime_error("the --noise-from stretch holds " + std::to_string(last - first) +
                                 " samples of the input; a noise sample needs at least 2048 (" +
                                 shortest + " s)");
    }
    return {first, last};
}

// One line per channel on stderr: the hum lines found and notched, in Hz; each line names
// the file after `who` (empty for the single form, "take.wav: " in a batch).
void reportHum(const std::vector<NoiseSample>& noise, float strength, const std::string& who) {
    for (std::size_t c = 0; c < noise.size(); ++c) {
        std::string lines;
        for (int i = 0; i < HumDetector::kCandidates; ++i) {
            if ((noise[c].hum & (1u << i)) != 0) {
                lines += (lines.empty() ? "" : ", ") +
                         std::to_string(static_cast<int>(HumDetector::candidateHz(i)));
            }
        }
        // The notches are off at the lowest strengths, whatever was found.
        const char* off = Strength::notchesOn(strength) ? "" : " (notches off at this strength)";
        std::fprintf(stderr, "taln-clean: %schannel %zu: %s%s\n", who.c_str(), c + 1,
                     lines.empty() ? "no hum found" : ("hum at " + lines + " Hz").c_str(), off);
    }
}

// Measures every channel's noise sample (from `stretch`, else from its quietest frames) and
// cleans the channels by pieces on `pool`, with the hum notches the options ask for, handing
// each cleaned stretch to `write` in order. Returns the noise samples.
std::vector<NoiseSample>
cleanChannels(const Channels& original, const AudioFormat& format, float strength,
              const Options& options,
              const std::optional<std::pair<std::int64_t, std::int64_t>>& stretch, WorkerPool& pool,
              const PieceScheduler::Write& write) {
    const std::size_t count = original.size();
    const std::int64_t n = frameCount(original);
    const double rate = format.sampleRate;
    // With a wisdom file, main() has the measured plans made (or is making them): asking for
    // estimated ones here could win the race to the planner and keep them from being saved.
    if (RealFFT::wisdomFile().empty()) {
        const auto planning =
            n * static_cast<std::int64_t>(count) / pool.threadCount() >= kMeasuredPlansFrom
                ? RealFFT::Planning::measured
                : RealFFT::Planning::estimated;
        RealFFT::prepare(Cleaner::kFrameLength, planning);
    }
    std::vector<std::span<const float>> samples;
    for (const ChannelPtr& channel : original) {
        samples.emplace_back(*channel);
    }
    const auto [first, last] =
        stretch.value_or(std::pair{std::int64_t{0}, std::numeric_limits<std::int64_t>::max()});
    // Only the adaptive engine follows the noise: the reference engine needs no track.
    std::vector<NoiseSample> noise = NoiseSample::measureAll(
        samples, rate, first, last, &pool, options.engine == Cleaner::Engine::adaptive);
    PieceScheduler::Job job;
    job.sampleRate = rate;
    job.strength = strength;
    job.engine = options.engine;
    for (std::size_t c = 0; c < count; ++c) {
        const Cleaner::HumMask hum = options.hum == HumMode::always ? Cleaner::kAllHum
                                     : options.hum == HumMode::off  ? Cleaner::kNoHum
                                                                    : noise[c].hum;
        noise[c].hum = hum;
        job.channels.push_back({samples[c], noise[c].profile, &noise[c].track, hum,
                                isLowFrequencyEffects(format.channelMask, static_cast<int>(count),
                                                      static_cast<int>(c))});
    }
    job.pieces = PieceScheduler::inOrder(n, rate, pool.threadCount());
    // Cancelled by nobody: a failure stops the other pieces by itself.
    const CancelToken running;
    PieceScheduler::run(pool, job, running, {}, write);
    return noise;
}

// INPUT minus the cleaned audio, stretch by stretch: what the cleaning took away.
class Difference {
public:
    explicit Difference(const Channels& original)
        : original_(original), buffers_(original.size()), pointers_(original.size()) {}

    std::span<const float* const> of(std::span<const float* const> cleaned, std::int64_t frames) {
        for (std::size_t c = 0; c < buffers_.size(); ++c) {
            buffers_[c].resize(static_cast<std::size_t>(frames));
            const float* in = original_[c]->data() + position_;
            for (std::int64_t i = 0; i < frames; ++i) {
                buffers_[c][static_cast<std::size_t>(i)] = in[i] - cleaned[c][i];
            }
            pointers_[c] = buffers_[c].data();
        }
        position_ += frames;
        return pointers_;
    }

private:
    const Channels& original_;
    std::int64_t position_ = 0;
    std::vector<std::vector<float>> buffers_;
    std::vector<const float*> pointers_;
};

} // namespace

void cleanOne(const Options& options, WorkerPool& pool, const std::filesystem::path& input,
              const std::filesystem::path& output, Format format, Progress* progress) {
    const bool fromStdin = input == kStandardStream;
    const bool toStdout = output == kStandardStream;
    const bool removing = !options.removed.empty();
    // Problems with OUTPUT are found before the work, not after it.
    if (!toStdout) {
        ReplacingFile::checkFolder(output);
        refuseOutputThatIsInput(input, output);
    }
    if (format == Format::video && !VideoExporter::hasVideo(input)) {
        throw std::runtime_error(Wording::noVideo(input.string()));
    }
    if (removing) {
        ReplacingFile::checkFolder(options.removed);
        refuseOutputThatIsInput(input, options.removed);
    }
    // With a second thread, the file is read and decoded on one while the other stores it.
    AudioDecoder::DecodeOptions decoding;
    decoding.decodeAhead = options.jobs > 1;
    AudioDecoder::Decoded decoded = fromStdin ? AudioDecoder::decodeStandardInput(decoding)
                                              : AudioDecoder::decodeFile(input, decoding);
    const AudioFormat audioFormat = decoded.format;
    const double rate = audioFormat.sampleRate;
    const std::string who = options.folder ? input.string() + ": " : std::string();
    if (const std::string gaps = AudioDecoder::describeGaps(decoded.gaps, audioFormat.sampleRate);
        !gaps.empty()) {
        warn(progress, who, gaps);
    }
    if (decoded.sourceChannels > static_cast<int>(decoded.channels.size())) {
        warn(progress, who,
             "INPUT has " + std::to_string(decoded.sourceChannels) +
                 " channels; they are folded to 7.1.");
    }
    if (!decoded.shortfallWarning.empty()) {
        warn(progress, "", decoded.shortfallWarning);
    }
    const std::int64_t frames = frameCount(decoded.channels);
    if (progress) {
        progress->setSeconds(double(frames) / rate);
        progress->done(Step::decode);
    }
    const float strength = Strength::fromPercent(options.strength);
    std::optional<std::pair<std::int64_t, std::int64_t>> noiseFrom;
    if (options.noiseFrom) {
        noiseFrom = checkStretch(*options.noiseFrom, rate, frames);
    }
    const Destination destination =
        toStdout ? Destination::pipe(STDOUT_FILENO) : Destination(output);
    // WAV, FLAC and M4A are written while the cleaning runs; a video, which needs the whole
    // cleaned recording, after it. A normalised WAV or M4A is measured while the cleaning runs
    // and set aside on disk beside OUTPUT, then read back through the normaliser into the file:
    // no copy of the cleaned recording is held in memory. A video's cleaned sound is set aside
    // the same way and read back once the recording is let go, so that the two are never held
    // together (10 minutes of stereo at 44.1 kHz: 212 MB each).
    const AudioExporter::Kind kind = OutputNames::kindOf(format);
    const auto count = static_cast<int>(decoded.channels.size());
    const bool video = format == Format::video;
    const bool spilled = video || options.loudness.has_value();
    std::optional<Loudness::Meter> meter;
    std::optional<SpillFile> spill;
    std::optional<AudioExporter::Stream> stream;
    if (spilled) {
        if (!video) {
            meter.emplace(count, audioFormat);
        }
        // Beside OUTPUT, or in the temporary folder when OUTPUT is a pipe.
        spill.emplace(toStdout ? std::filesystem::temp_directory_path() : output.parent_path(),
                      count);
    } else {
        stream.emplace(count, audioFormat, kind, destination, options.floatWav);
    }
    std::optional<AudioExporter::Stream> removed;
    std::optional<Difference> difference;
    if (removing) {
        removed.emplace(count, audioFormat, kind, options.removed, options.floatWav);
        difference.emplace(decoded.channels);
    }
    const auto writeStream = [&stream](std::span<const float* const> cleaned, std::int64_t n) {
        stream->append(cleaned, n);
    };
    const std::vector<NoiseSample> noise =
        cleanChannels(decoded.channels, audioFormat, strength, options, noiseFrom, pool,
                      [&](std::span<const float* const> cleaned, std::int64_t n) {
                          if (meter) {
                              meter->add(cleaned, n);
                          }
                          if (spilled) {
                              spill->append(cleaned, n);
                          } else {
                              stream->append(cleaned, n);
                          }
                          if (removed) {
                              removed->append(difference->of(cleaned, n), n);
                          }
                      });

    // Both files or neither: what was removed is put in place just before OUTPUT is, and taken
    // away again should OUTPUT then fail. (A file that was at its place before is gone then;
    // OUTPUT's never is.)
    bool removedPlaced = false;
    const auto placeRemoved = [&] {
        if (removed && !removedPlaced) {
            removed->finish();
            removedPlaced = true;
        }
    };
    std::optional<Loudness::Report> loudnessReport;
    try {
        if (meter) {
            // An M4A whose encoded peaks pass the ceiling is written again with more margin.
            const Loudness::Measurement measurement = meter->finish();
            // A pipe cannot be written twice: its M4A is written once, with the margin alone.
            const int attempts = toStdout ? 1 : AudioExporter::kWriteAttempts;
            double extraMarginDb = 0.0;
            for (int attempt = 1;; ++attempt) {
                Loudness::Plan plan =
                    Loudness::plan(measurement, *options.loudness,
                                   kind == AudioExporter::Kind::m4a ? Loudness::Encoding::lossy
                                                                    : Loudness::Encoding::lossless,
                                   extraMarginDb);
                plan.stopPastCeiling = attempt < attempts;
                try {
                    stream.emplace(count, audioFormat, kind, destination, options.floatWav, plan);
                    spill->readBack(writeStream);
                    placeRemoved();
                    stream->finish();
                    loudnessReport = plan.report;
                    break;
                } catch (const Loudness::CeilingPassed& passed) {
                    stream.reset();
                    extraMarginDb += passed.excessDb() + AudioExporter::kRetryStepDb;
                }
            }
            spill.reset();
        } else if (stream) {
            placeRemoved();
            stream->finish();
        }
    } catch (...) {
        if (removedPlaced) {
            std::error_code ec;
            std::filesystem::remove(options.removed, ec);
        }
        throw;
    }
    // A stretch the user chose is taken as noise on their word; only the quietest frames can
    // be doubtful.
    const bool doubtful =
        !options.noiseFrom &&
        std::any_of(noise.begin(), noise.end(), [](const NoiseSample& n) { return n.doubtful(); });
    if (progress && (options.verbose || doubtful)) {
        Progress::clear();
    }
    if (options.verbose && options.hum == HumMode::automatic) {
        reportHum(noise, strength, who);
    }
    if (options.verbose) {
        for (std::size_t c = 0; c < noise.size(); ++c) {
            std::fprintf(stderr,
                         "taln-clean: %schannel %zu: noise sample at %.4f of the median frame, "
                         "%.4f of the loudest tenth\n",
                         who.c_str(), c + 1, static_cast<double>(noise[c].quietToMedian),
                         static_cast<double>(noise[c].quietToLoud));
        }
    }
    if (doubtful) {
        std::fprintf(stderr,
                     "taln-clean: warning: %s%s Choose a stretch of noise alone with "
                     "--noise-from START-END.\n",
                     who.c_str(), Wording::doubtfulNoise().c_str());
    }
    if (progress) {
        progress->done(Step::clean);
    }
    if (options.loudness && progress) {
        progress->done(Step::loudness);
    }
    if (video) {
        decoded.channels.clear();
        std::vector<Channel> whole(static_cast<std::size_t>(count));
        for (Channel& channel : whole) {
            channel.reserve(static_cast<std::size_t>(frames));
        }
        spill->readBack([&whole](std::span<const float* const> cleaned, std::int64_t n) {
            for (std::size_t c = 0; c < whole.size(); ++c) {
                whole[c].insert(whole[c].end(), cleaned[c], cleaned[c] + n);
            }
        });
        spill.reset();
        Channels sound;
        for (Channel& channel : whole) {
            sound.push_back(std::make_shared<const Channel>(std::move(channel)));
        }
        loudnessReport = VideoExporter::write(ChunkedAudio::fromChannels(sound), audioFormat, input,
                                              output, {options.keepOriginalAudio, options.loudness})
                             .loudness;
    }
    if (loudnessReport && !loudnessReport->reached()) {
        warn(progress, who, Loudness::describe(*loudnessReport));
    }
    if (progress) {
        progress->done(Step::write);
    }
}

std::string describeFailure(const std::exception& error, const std::filesystem::path& input,
                            const std::string& name) {
    if (dynamic_cast<const std::bad_alloc*>(&error)) {
        return "Not enough memory to clean " + name;
    }
    // INPUT's, not a write's: those say which folder or file they could not write.
    if (const auto* failed = dynamic_cast<const FileError*>(&error);
        failed && failed->path() == input) {
        return Wording::readFailure(*failed, name);
    }
    return error.what();
}

} // namespace taln::cli
