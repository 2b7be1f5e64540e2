#include "model/noise_sampling.h"

#include "model/notices.h"
#include "model/taln_model.h"

namespace taln {

NoiseSampling::NoiseSampling(TalnModel& model, Notices& notices)
    : model_(model), notices_(notices) {}

Cleaner::HumMask NoiseSampling::hum() const {
    Cleaner::HumMask hum = Cleaner::kNoHum;
    for (const NoiseSample& sample : *samples_) {
        hum |= sample.hum;
    }
    return hum;
}

void NoiseSampling::startFile(std::shared_ptr<const Samples> automatic) {
    automaticSamples_ = automatic;
    clearSelection();
    install(std::move(automatic), true);
}

void NoiseSampling::select(NoiseChoice::Stretch stretch) {
    selection_ = stretch;
    emit model_.selectionChanged();
    if (notices_.noise() == Notices::Noise::tooShort) {
        refreshNotice();
    }
}

void NoiseSampling::clearSelection() {
    selection_.reset();
    emit model_.selectionChanged();
}

bool NoiseSampling::useSelection(const Channels& channels, double sampleRate) {
    if (!selection_) {
        return false;
    }
    if (selection_->last - selection_->first < NoiseChoice::kShortestStretch) {
        notices_.setNoise(Notices::Noise::tooShort);
        return false;
    }
    install(
        std::make_shared<const Samples>(NoiseChoice::measure(channels, sampleRate, *selection_)),
        false);
    clearSelection();
    return true;
}

bool NoiseSampling::useAutomatic() {
    if (!automaticSamples_) {
        return false;
    }
    install(automaticSamples_, true);
    return true;
}

void NoiseSampling::install(std::shared_ptr<const Samples> samples, bool automatic) {
    samples_ = std::move(samples);
    automatic_ = automatic;
    emit model_.noiseAutomaticChanged();
    runs_ = NoiseChoice::runs(*samples_);
    emit model_.noiseRunsChanged();
    refreshNotice();
}

// A stretch the user chose is noise on their word; only the quietest frames can be doubtful.
void NoiseSampling::refreshNotice() {
    notices_.setNoise(automatic_ && NoiseChoice::doubtful(*samples_) ? Notices::Noise::doubtful
                                                                     : Notices::Noise::none);
}

} // namespace taln
