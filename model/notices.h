#pragma once

// Notices: what TalnModel tells the user besides the audio: `errorMessage` (why the last
// operation failed) and `notice` (lines that are no error: how the file was read, a doubtful
// noise sample, "Saved memo (Taln).wav"), with `savedFile`.
//
// Each line is kept as what it says, not as its words: the noise sample's notice as an enum,
// the error with where it came from, so that the model decides by state (a working sound
// output clears a playback failure, and nothing else; a new selection answers a refusal of a
// short stretch) and never by comparing the sentences it shows. `notice` joins the load's
// line(s), the noise sample's and the saved file's, in that order, a line each.
//
// Main thread only.

#include "model/published.h"

#include <QString>

namespace taln {

class TalnModel;

class Notices {
public:
    // What the notice says about the noise sample in use.
    enum class Noise {
        none,
        doubtful, // the automatic sample may hold voice or music (NoiseChoice::doubtfulNotice)
        tooShort, // a chosen stretch was refused (NoiseChoice::tooShortNotice)
    };

    // Where the error shown came from.
    enum class Origin { load, cleaning, exporting, playback };

    explicit Notices(TalnModel& model);

    const QString& errorMessage() const { return errorMessage_.get(); }
    const QString& notice() const { return notice_.get(); }
    const QString& savedFile() const { return savedFile_.get(); }
    Noise noise() const { return noise_; }

    // Shows `message` as the error; assigns `errorMessage`.
    void showError(Origin origin, const QString& message);
    // Clears the error (assigns a null `errorMessage`).
    void clearError();
    // Clears the error only when it came from `origin`.
    void clearError(Origin origin);

    // A load begins: its lines and the noise sample's go, and so does a saved file's; `notice`
    // is assigned.
    void startLoad();
    // The loaded file's lines (how it was read); shown from the next assignment of `notice`.
    void setLoadLines(const QString& lines);
    // The noise sample's notice; assigns `notice`.
    void setNoise(Noise noise);
    // An export saved `path`; `message`, unless empty, says why its loudness fell short.
    // Assigns `savedFile`, then `notice`.
    void setSaved(const QString& path, const QString& message);
    // The saved notice goes with the user's next operation: unless there is none, assigns a
    // null `savedFile`, then `notice`.
    void dismissSaved();

private:
    void refresh();

    Published<TalnModel, QString> errorMessage_;
    Published<TalnModel, QString> notice_;
    Published<TalnModel, QString> savedFile_;
    // Where the error shown came from; meaningless while there is none.
    Origin origin_ = Origin::load;
    QString loadLines_;
    Noise noise_ = Noise::none;
    QString savedLine_;
};

} // namespace taln
