#pragma once

// QtFilePanels: the model's open and save panels as modal QFileDialogs over the active
// window; each starts in the folder it last used (Settings), across runs. Main thread.

#include "model/file_panels.h"

#include <QStringList>

class QWidget;

namespace taln {

class QtFilePanels : public FilePanels {
public:
    std::optional<QString> chooseFileToOpen() override;
    // The same panel, taking several files.
    QStringList chooseFilesToOpen() override;
    std::optional<QString> chooseExportDestination(AudioExporter::Kind kind,
                                                   const QString& suggestedName,
                                                   const QString& folder) override;
    // With a checkbox "Keep the original sound as a second track" under the file list.
    std::optional<QString> chooseVideoDestination(const QString& extension,
                                                  const QString& suggestedName,
                                                  const QString& folder,
                                                  bool& keepOriginalAudio) override;

    // The open panel's filter: every file pattern the system's MIME database gives for
    // audio and video types, sorted and without duplicates.
    static QStringList mediaPatterns();
    // The open panel's choices: the media patterns, then "All files".
    static QString openFilter();
    // The save panel's suffix for `kind`, without the dot.
    static QString suffix(AudioExporter::Kind kind);
    // `path` as written for `kind`: unchanged when it ends in the kind's extension (in any
    // case), else with the extension appended ("x.wav" for M4A -> "x.wav.m4a"), so the
    // file's name never claims another format than its contents.
    static QString withSuffix(const QString& path, AudioExporter::Kind kind);
    // The same for any extension (without the dot).
    static QString withSuffix(const QString& path, const QString& extension);

private:
    // A modal save panel showing `filter`, whose answer always ends in `extension`.
    // `extra`, when given, is added under the panel's own controls (the panel owns it then).
    static std::optional<QString> chooseSave(const QString& filter, const QString& extension,
                                             const QString& suggestedName, const QString& folder,
                                             QWidget* extra = nullptr);
};

} // namespace taln
