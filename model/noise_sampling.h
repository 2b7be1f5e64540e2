#pragma once

// NoiseSampling: TalnModel's noise samples: the automatic ones measured at load, or those of a
// stretch the user selected; the selection itself; where the samples came from (`noiseRuns`);
// and the noise sample's notice (Notices::Noise): a doubtful automatic sample, a stretch
// refused as too short.
//
// Main thread only. Measuring a selected stretch blocks it for a moment (one pass over the
// stretch per channel, the channels at once).

#include "audio/channels.h"
#include "engine/cleaner.h"
#include "engine/noise_sample.h"
#include "model/noise_choice.h"
#include "model/published.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace taln {

class Notices;
class TalnModel;

class NoiseSampling {
public:
    using Samples = std::vector<NoiseSample>;

    NoiseSampling(TalnModel& model, Notices& notices);

    // The samples the cleaning uses, one per channel (none before a file).
    const std::shared_ptr<const Samples>& samples() const { return samples_; }
    bool automatic() const { return automatic_; }
    const std::vector<NoiseChoice::Stretch>& runs() const { return runs_; }
    const std::optional<NoiseChoice::Stretch>& selection() const { return selection_; }
    // The hum lines of every channel's sample.
    Cleaner::HumMask hum() const;

    // A file is installed with its automatic samples: the selection goes and they are used.
    void startFile(std::shared_ptr<const Samples> automatic);
    // Selects `stretch` (frames of the loaded audio). A new selection answers an earlier refusal
    // of a short one: the notice goes back to what the samples in use call for.
    void select(NoiseChoice::Stretch stretch);
    void clearSelection();
    // Measures the selected stretch of `channels` (at `sampleRate`) and uses it; false, changing
    // nothing, without a selection, and with a notice for one shorter than
    // NoiseChoice::kShortestStretch.
    bool useSelection(const Channels& channels, double sampleRate);
    // Back to the automatic samples; false when there are none.
    bool useAutomatic();

private:
    void install(std::shared_ptr<const Samples> samples, bool automatic);
    void refreshNotice();

    TalnModel& model_;
    Notices& notices_;
    std::shared_ptr<const Samples> samples_ = std::make_shared<const Samples>();
    // The samples measured at load, to go back to from a chosen stretch.
    std::shared_ptr<const Samples> automaticSamples_;
    bool automatic_ = true;
    std::vector<NoiseChoice::Stretch> runs_;
    std::optional<NoiseChoice::Stretch> selection_;
};

} // namespace taln
