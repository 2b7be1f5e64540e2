#pragma once

// QtFilePanels: the model's open and save panels as modal QFileDialogs over the active
// window. Main thread.

#include "model/file_panels.h"

#include <QStringList>

namespace taln {

class QtFilePanels : public FilePanels {
public:
    std::optional<QString> chooseFileToOpen() override;
    std::optional<QString> chooseExportDestination(AudioExporter::Kind kind,
                                                   const QString& suggestedName) override;

    // The open panel's filter: every file pattern the system's MIME database gives for
    // audio and video types, sorted and without duplicates.
    static QStringList mediaPatterns();
    // The save panel's suffix for `kind`, without the dot.
    static QString suffix(AudioExporter::Kind kind);
};

} // namespace taln
