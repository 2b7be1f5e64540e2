#pragma once

// FilePanels: the modal open and save panels the model asks for a path. The window
// implements them with QFileDialog; tests replace them with fakes. Main thread only.

#include "audio/audio_exporter.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace taln {

class FilePanels {
public:
    virtual ~FilePanels() = default;

    // An audio or video file to open, or nothing when the user cancels.
    virtual std::optional<QString> chooseFileToOpen() = 0;

    // One or more audio or video files to open; empty when the user cancels. Panels that take
    // one file at a time keep this default.
    virtual QStringList chooseFilesToOpen() {
        if (auto path = chooseFileToOpen()) {
            return {*path};
        }
        return {};
    }

    // Where to export, restricted to the one file type of `kind` (a path always ends in its
    // extension), suggesting `suggestedName` in `folder` (empty: the panel's own choice);
    // nothing when the user cancels.
    virtual std::optional<QString> chooseExportDestination(AudioExporter::Kind kind,
                                                           const QString& suggestedName,
                                                           const QString& folder) = 0;

    // Where to export a video, restricted to files ending in `extension` (without the dot,
    // the source's own container), suggesting `suggestedName` in `folder`; nothing when the
    // user cancels. `keepOriginalAudio` is the choice the panel offers first and, once the
    // user has chosen a file, the choice made (keep the source's sound as a second track).
    // Panels that write no video keep this default.
    virtual std::optional<QString> chooseVideoDestination(const QString& extension,
                                                          const QString& suggestedName,
                                                          const QString& folder,
                                                          bool& keepOriginalAudio) {
        (void)extension;
        (void)suggestedName;
        (void)folder;
        (void)keepOriginalAudio;
        return std::nullopt;
    }
};

} // namespace taln
