#pragma once

// TalnModel: the one state object behind the window(s).
//
// Thread contract: a QObject confined to the main thread. Background work (decoding, noise
// estimation, peaks, cleaning, export) receives values and hands results back through the
// event loop; only the main thread touches the model. Every published property emits its
// notify signal on every assignment, changed or not. A model may be destroyed at any time:
// work still in flight then finishes without touching it.
//
// Units: audio is held at the loaded file's own rate (sampleRate(); 44,100 Hz before the
// first file), with its channels (up to 8) in their layout; times are seconds; `strength` is a
// percent (the slider's 0 ... 100). Audio is shared, never copied: the original, the cleaned
// track, a running cleaning job, the player, an export and the lanes hold the same chunks
// (ChunkedAudio), and the original's chunks point into the decoded buffers.
//
// Lifecycle of a file: load() reads and analyses it in the background, then installs it in
// one main-thread turn and starts the first cleaning at once; every strength assignment
// schedules a new cleaning 0.15 s later that supersedes all earlier ones. A cleaning replaces
// the cleaned track piece by piece, the piece at the playhead first: each piece is heard from
// the next output buffer and fills in its part of `cleanPeaks` (so one cleaning assigns
// `cleanPeaks` once per piece); `isProcessing` stays true, and export disabled, until the
// last piece is in.
//
// The model orchestrates named parts (each a class of its own in model/): Transport (playing
// and what is audible), Notices (the error and the notice, kept as states), CleanedTrack (the
// cleaning, piece by piece), NoiseSampling (the noise samples and the selection),
// ExportController, ModelSettings (strength, loudness, the original sound kept), LoadRunner;
// each publishes its properties through Published (store, then emit). Tests reach the workers
// through WorkerHooks given to the constructor.

#include "audio/audio_exporter.h"
#include "audio/audio_format.h"
#include "audio/audio_output.h"
#include "audio/channels.h"
#include "audio/chunked_audio.h"
#include "model/file_panels.h"
#include "model/noise_choice.h"
#include "model/peak.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace taln {

namespace LoadAnalysis {
struct Result;
}
struct WorkerHooks;

class TalnModel : public QObject {
    Q_OBJECT
    // Null QString = no file / no message.
    Q_PROPERTY(QString fileName READ fileName NOTIFY fileNameChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)
    Q_PROPERTY(double strength READ strength WRITE setStrength NOTIFY strengthChanged)
    Q_PROPERTY(bool hearOriginal READ hearOriginal WRITE setHearOriginal NOTIFY hearOriginalChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(double position READ position NOTIFY positionChanged)
    Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
    Q_PROPERTY(float peakScale READ peakScale NOTIFY peakScaleChanged)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    // A line for the user that is no error (a file that ends early); null for none.
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)
    // What the pre-filter's hum notches remove at the current strength ("Hum 50 Hz removed");
    // empty when no hum was found or the notches are off.
    Q_PROPERTY(QString humLabel READ humLabel NOTIFY humLabelChanged)
    // The loaded file holds a video that exportVideo() can write again with the cleaned sound.
    Q_PROPERTY(bool hasVideo READ hasVideo NOTIFY hasVideoChanged)
    // Every export is normalised to -16 LUFS (true peak under -1 dBTP) when set.
    Q_PROPERTY(bool normaliseLoudness READ normaliseLoudness WRITE setNormaliseLoudness NOTIFY
                   normaliseLoudnessChanged)
    // A video export keeps the source's own sound as a second track, "Original", when set.
    Q_PROPERTY(bool keepOriginalAudio READ keepOriginalAudio WRITE setKeepOriginalAudio NOTIFY
                   keepOriginalAudioChanged)
    // What is audible: the cleaned audio, the original, or what the cleaning removed (the
    // original minus the cleaned audio). `hearOriginal` is true exactly in Original.
    Q_PROPERTY(Listening listening READ listening WRITE setListening NOTIFY listeningChanged)
    // The noise samples come from the quietest frames (true) or from a chosen stretch.
    Q_PROPERTY(bool noiseAutomatic READ noiseAutomatic NOTIFY noiseAutomaticChanged)
    Q_PROPERTY(bool hasSelection READ hasSelection NOTIFY selectionChanged)
    // The loaded file's absolute path; null with no file. Changes with `fileName`.
    Q_PROPERTY(QString filePath READ filePath NOTIFY fileNameChanged)
    // While loading: the share of the file decoded, 0 ... 1; -1 when unknown (the file states
    // no duration, or decoding has not begun) and when not loading. Followed 30 times a second.
    Q_PROPERTY(double loadProgress READ loadProgress NOTIFY loadProgressChanged)
    // True while an export is writing; `exportProgress` is the latest one's share written.
    Q_PROPERTY(bool isExporting READ isExporting NOTIFY isExportingChanged)
    Q_PROPERTY(double exportProgress READ exportProgress NOTIFY exportProgressChanged)
    // The file the latest export wrote while `notice` says so ("Saved memo (Taln).wav");
    // null otherwise. Both go with the user's next operation.
    Q_PROPERTY(QString savedFile READ savedFile NOTIFY savedFileChanged)
    // The name of the file being read while `isLoading` (the loaded file's stays in
    // `fileName` until the new one is installed); null while not loading.
    Q_PROPERTY(QString loadingFileName READ loadingFileName NOTIFY isLoadingChanged)

public:
    enum class Listening { Cleaned, Original, Removed };
    Q_ENUM(Listening)

    // `panels` answers openPanel() and exportAudio(); `output` is where the player sounds
    // (makeSdlOutput() in the app, a test double in tests); `hooks`, for tests, are called on
    // the workers (none in the app).
    TalnModel(std::unique_ptr<FilePanels> panels, std::unique_ptr<AudioOutput> output,
              QObject* parent = nullptr, std::shared_ptr<WorkerHooks> hooks = {});
    ~TalnModel() override;

    QString fileName() const;
    bool isLoading() const;
    bool isProcessing() const;
    double strength() const;
    bool hearOriginal() const;
    bool isPlaying() const;
    double position() const;
    double duration() const;
    const std::vector<Peak>& origPeaks() const;
    const std::vector<Peak>& cleanPeaks() const;
    float peakScale() const;
    QString errorMessage() const;
    QString notice() const;
    QString humLabel() const;
    bool hasVideo() const;
    bool normaliseLoudness() const;
    bool keepOriginalAudio() const;
    Listening listening() const;
    bool noiseAutomatic() const;
    bool hasSelection() const;
    // The stretch selected for a noise sample; {0, 0} without one.
    NoiseChoice::Stretch selection() const;
    // Where the noise samples came from: every channel's averaged frames merged into runs,
    // in samples of the loaded audio; empty with no file.
    const std::vector<NoiseChoice::Stretch>& noiseRuns() const;
    QString filePath() const;
    double loadProgress() const;
    bool isExporting() const;
    double exportProgress() const;
    QString savedFile() const;

    // The decoded original; a file is loaded exactly when this is non-empty.
    const Channels& orig() const;
    // Its rate, layout and source depth, which every export keeps; and the rate alone.
    const AudioFormat& format() const;
    double sampleRate() const;

    // ---- For the views: where the audio is, and how far the cleaning got --------------------
    QString loadingFileName() const;
    // The original as chunks: the very buffers of `orig`, for reading stretches of it.
    const ChunkedAudio& originalAudio() const;
    // The stretches of the cleaned track, as frames [first, last), that the cleaning in progress
    // has not replaced yet (they still hold the original, or an earlier strength's result);
    // ascending, apart; empty while no cleaning runs. Announced by pendingCleaningChanged.
    std::vector<NoiseChoice::Stretch> pendingCleaning() const;

    // The cleaned track as it stands: the original's own chunks from a load until the first
    // cleaning of that file hands over its pieces.
    const ChunkedAudio& cleanedAudio() const;

    // All operations: main thread; with no file loaded, those that need audio do nothing.
public slots:
    // Stops playback and any cleaning, then reads `path` in the background; the outcome is
    // published through the fields (`errorMessage` on failure, the earlier file staying
    // loaded). When loads overlap, the one started last wins. A new file is installed
    // stopped, at position 0, even if play was pressed while it was read.
    void load(const QString& path);
    // Asks the panels for audio or video files and loads the one chosen; several chosen are
    // handed on through batchRequested, nothing loaded; a cancelled panel changes nothing.
    void openPanel();
    // Pause (storing the player's time in `position`) or play from `position`, from 0 when
    // within 0.05 s of the end. A sound output that cannot start leaves `isPlaying` false and
    // says why in `errorMessage` ("Playback failed: ..."); the next start that works clears
    // that message.
    void togglePlay();
    // Moves to `fraction` (clamped to 0 ... 1; NaN is ignored) of the file; while playing,
    // both tracks restart there, and the very end stops playback and rewinds.
    void seek(double fraction);
    // Unless a cleaning is pending, asks the panels where to write (opening in the folder of
    // the latest export, else in the loaded file's) and writes the cleaned audio as it was
    // when the panel opened, in the background, at the file's own rate, layout and depth; a
    // failure sets "Export failed: ...", and a normalised export that misses its loudness says
    // why in `notice`.
    void exportAudio(taln::AudioExporter::Kind kind);
    // As exportAudio, for a file with video: the source written again in its own container
    // with the cleaned sound in place of its first audio track.
    void exportVideo();
    void setNormaliseLoudness(bool normalise);
    void setKeepOriginalAudio(bool keep);
    // Percent; with a file loaded, every assignment cleans again after a 0.15 s rest.
    void setStrength(double strength);
    // Which version is audible; passed to the player at once, without a restart.
    void setHearOriginal(bool hearOriginal);
    // Any listening position, passed to the player at once, without a restart.
    void setListening(taln::TalnModel::Listening listening);
    // Selects the stretch between two fractions of the file (either order, clamped to 0 ... 1)
    // as a candidate noise sample.
    void selectStretch(double fromFraction, double toFraction);
    void clearSelection();
    // Measures every channel's noise from the selected stretch only and cleans again; a
    // stretch shorter than 2,048 samples is refused with a notice and changes nothing. The
    // measuring blocks the main thread for a moment (one pass over the stretch per channel,
    // the channels at once).
    void useSelectionAsNoise();
    // Back to the quietest frames measured at load, and cleans again.
    void useAutomaticNoise();
    // Moves `seconds` forward (backward when negative) from the current time, as seek().
    void skip(double seconds);
    // Gives up the load in progress, if any: the file loaded before it stays, as it was.
    void cancelLoad();
    // Stops every export still writing: nothing is written, earlier files at their
    // destinations stay intact, and no message is shown.
    void cancelExport();
    // The selection starts (ends) at the playhead: it keeps its other end when that lies
    // after (before) the playhead, else it becomes the empty stretch at the playhead.
    void startSelectionAtPlayhead();
    void endSelectionAtPlayhead();

signals:
    void fileNameChanged();
    void isLoadingChanged();
    void isProcessingChanged();
    void strengthChanged();
    void hearOriginalChanged();
    void isPlayingChanged();
    void positionChanged();
    void durationChanged();
    void origPeaksChanged();
    void cleanPeaksChanged();
    void peakScaleChanged();
    void errorMessageChanged();
    void noticeChanged();
    void humLabelChanged();
    void hasVideoChanged();
    void normaliseLoudnessChanged();
    void keepOriginalAudioChanged();
    void listeningChanged();
    void noiseAutomaticChanged();
    void selectionChanged();
    void noiseRunsChanged();
    void loadProgressChanged();
    void isExportingChanged();
    void exportProgressChanged();
    void savedFileChanged();
    void pendingCleaningChanged();
    // Frames [from, to) of the cleaned track were replaced by a cleaned piece (cleanedAudio()
    // holds them now).
    void cleanedReplaced(qint64 from, qint64 to);
    // The open panel chose several files, to be cleaned together (BatchRun), in that order.
    void batchRequested(const QStringList& paths);

private:
    struct Impl;

    // Runs the oldest function a worker posted (see WorkerLink). Invoked by name through the
    // event loop, hence Q_INVOKABLE; not for callers.
    Q_INVOKABLE void runPosted();

    // The latest load's outcome: installs the file, or reports why it could not be read.
    void finishLoad(const QString& path, const LoadAnalysis::Result& result);
    // Schedules a cleaning of the loaded file at the current strength after `delay` seconds,
    // superseding all earlier ones.
    void runProcessing(double delay);
    // The cleaning of the file still loaded, cancelled by a load that is not going to install
    // another, starts again.
    void resumeProcessing();
    void tick();
    // The export both kinds share: `video` writes the source again, else `kind`.
    void startExport(AudioExporter::Kind kind, bool video);

    std::unique_ptr<Impl> impl_;
};

} // namespace taln
