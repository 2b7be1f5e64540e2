#pragma once

// TalnModel: the one state object behind the window(s).
//
// Thread contract: a QObject confined to the main thread. Background work (decoding, noise
// estimation, peaks, cleaning, export) receives values and hands results back through the
// event loop; only the main thread touches the model. Every published property emits its
// notify signal on every assignment, changed or not.

#include "audio/audio_exporter.h"
#include "audio/audio_output.h"
#include "audio/channels.h"
#include "model/file_panels.h"
#include "model/peak.h"

#include <QObject>
#include <QString>
#include <memory>
#include <vector>

namespace taln {

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

public:
    // `panels` answers openPanel() and exportAudio(); `output` is where the player sounds
    // (makeSdlOutput() in the app, a ManualOutput in tests).
    TalnModel(std::unique_ptr<FilePanels> panels, std::unique_ptr<AudioOutput> output,
              QObject* parent = nullptr);
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

    // The decoded original; a file is loaded exactly when this is non-empty.
    const Channels& orig() const;

    // Waveform buckets over all channels; any thread.
    static std::vector<Peak> peaks(const Channels& channels, std::int64_t buckets);

public slots:
    void load(const QString& path);
    void openPanel();
    void togglePlay();
    void seek(double fraction);
    void exportAudio(taln::AudioExporter::Kind kind);
    void setStrength(double strength);
    void setHearOriginal(bool hearOriginal);

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

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace taln
