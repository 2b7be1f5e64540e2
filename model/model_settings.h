#pragma once

// ModelSettings: the user's choices that outlive a file: the strength (percent), loudness
// normalisation of every export, and keeping a video's original sound beside the cleaned one.
// Published as TalnModel's properties. Main thread only.

#include "engine/strength.h"
#include "model/published.h"
#include "model/taln_model.h"

namespace taln {

struct ModelSettings {
    explicit ModelSettings(TalnModel& model)
        : strength(model, &TalnModel::strengthChanged, Strength::kDefaultPercent),
          normaliseLoudness(model, &TalnModel::normaliseLoudnessChanged),
          keepOriginalAudio(model, &TalnModel::keepOriginalAudioChanged) {}

    Published<TalnModel, double> strength;
    Published<TalnModel, bool> normaliseLoudness;
    Published<TalnModel, bool> keepOriginalAudio;
};

} // namespace taln
