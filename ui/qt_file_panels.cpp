#include "ui/qt_file_panels.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMimeDatabase>

namespace taln {

namespace {

// Types the MIME database files under application/ although they carry audio.
const QStringList kExtraPatterns = {QStringLiteral("*.ogg"), QStringLiteral("*.mka"),
                                    QStringLiteral("*.mkv"), QStringLiteral("*.m4a"),
                                    QStringLiteral("*.mp4")};

} // namespace

QStringList QtFilePanels::mediaPatterns() {
    QStringList patterns = kExtraPatterns;
    const QMimeDatabase database;
    for (const QMimeType& type : database.allMimeTypes()) {
        const QString name = type.name();
        if (name.startsWith(QLatin1String("audio/")) || name.startsWith(QLatin1String("video/"))) {
            patterns += type.globPatterns();
        }
    }
    patterns.sort(Qt::CaseInsensitive);
    patterns.removeDuplicates();
    return patterns;
}

QString QtFilePanels::suffix(AudioExporter::Kind kind) {
    return kind == AudioExporter::Kind::wav ? QStringLiteral("wav") : QStringLiteral("m4a");
}

std::optional<QString> QtFilePanels::chooseFileToOpen() {
    const QString filter =
        QStringLiteral("Audio and video files (%1)").arg(mediaPatterns().join(QLatin1Char(' ')));
    const QString path =
        QFileDialog::getOpenFileName(QApplication::activeWindow(), QString(), QString(), filter);
    if (path.isEmpty()) {
        return std::nullopt;
    }
    return path;
}

std::optional<QString> QtFilePanels::chooseExportDestination(AudioExporter::Kind kind,
                                                             const QString& suggestedName) {
    const QString ext = suffix(kind);
    const QString filter = kind == AudioExporter::Kind::wav
                               ? QStringLiteral("WAV audio (*.wav)")
                               : QStringLiteral("MPEG-4 audio (*.m4a)");
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(ext);
    dialog.setDirectory(QDir::home());
    dialog.selectFile(suggestedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front();
}

} // namespace taln
