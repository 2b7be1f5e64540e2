#include "ui/qt_file_panels.h"

#include "ui/settings.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPointer>

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
    switch (kind) {
    case AudioExporter::Kind::wav:
        return QStringLiteral("wav");
    case AudioExporter::Kind::flac:
        return QStringLiteral("flac");
    case AudioExporter::Kind::m4a:
        break;
    }
    return QStringLiteral("m4a");
}

QString QtFilePanels::openFilter() {
    return QStringLiteral("Audio and video files (%1);;All files (*)")
        .arg(mediaPatterns().join(QLatin1Char(' ')));
}

std::optional<QString> QtFilePanels::chooseFileToOpen() {
    const QString path = QFileDialog::getOpenFileName(QApplication::activeWindow(), QString(),
                                                      Settings::openFolder(), openFilter());
    if (path.isEmpty()) {
        return std::nullopt;
    }
    Settings::setOpenFolder(QFileInfo(path).absolutePath());
    return path;
}

QStringList QtFilePanels::chooseFilesToOpen() {
    const QStringList paths = QFileDialog::getOpenFileNames(QApplication::activeWindow(), QString(),
                                                            Settings::openFolder(), openFilter());
    if (!paths.isEmpty()) {
        Settings::setOpenFolder(QFileInfo(paths.front()).absolutePath());
    }
    return paths;
}

QString QtFilePanels::withSuffix(const QString& path, AudioExporter::Kind kind) {
    return withSuffix(path, suffix(kind));
}

QString QtFilePanels::withSuffix(const QString& path, const QString& extension) {
    const QString ending = QLatin1Char('.') + extension;
    return path.endsWith(ending, Qt::CaseInsensitive) ? path : path + ending;
}

std::optional<QString> QtFilePanels::chooseExportDestination(AudioExporter::Kind kind,
                                                             const QString& suggestedName,
                                                             const QString& folder) {
    const QString filter = kind == AudioExporter::Kind::wav ? QStringLiteral("WAV audio (*.wav)")
                           : kind == AudioExporter::Kind::flac
                               ? QStringLiteral("FLAC audio (*.flac)")
                               : QStringLiteral("MPEG-4 audio (*.m4a)");
    return chooseSave(filter, suffix(kind), suggestedName, folder);
}

std::optional<QString> QtFilePanels::chooseVideoDestination(const QString& extension,
                                                            const QString& suggestedName,
                                                            const QString& folder,
                                                            bool& keepOriginalAudio) {
    const QString filter = QStringLiteral("Video (*.%1)").arg(extension);
    auto* keep = new QCheckBox(QStringLiteral("Keep the original sound as a second track"));
    keep->setObjectName(QStringLiteral("keepOriginalAudioCheck"));
    keep->setChecked(keepOriginalAudio);
    const QPointer<QCheckBox> kept(keep);
    const auto path = chooseSave(filter, extension, suggestedName, folder, keep);
    if (path && kept) {
        keepOriginalAudio = kept->isChecked();
    }
    return path;
}

std::optional<QString> QtFilePanels::chooseSave(const QString& filter, const QString& extension,
                                                const QString& suggestedName, const QString& folder,
                                                QWidget* extra) {
    QWidget* parent = QApplication::activeWindow();
    QFileDialog dialog(parent);
    // Qt's own panel, whose layout takes a control of Taln's under its own (a desktop's
    // native panel would not).
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()); grid != nullptr && extra) {
        grid->addWidget(extra, grid->rowCount(), 0, 1, grid->columnCount());
    } else {
        delete extra;
    }
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(extension);
    // The folder the panel last saved in, across runs; else the model's choice; else home.
    QString start = Settings::exportFolder();
    if (start.isEmpty() || !QFileInfo(start).isDir()) {
        start = folder;
    }
    dialog.setDirectory(!start.isEmpty() && QFileInfo(start).isDir() ? QDir(start) : QDir::home());
    dialog.selectFile(suggestedName);
    for (;;) {
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return std::nullopt;
        }
        const QString chosen = dialog.selectedFiles().front();
        const QString path = withSuffix(chosen, extension);
        // The panel asked about replacing the name as typed; a name completed here that is
        // taken is asked about again, and a "no" goes back to the panel.
        if (path == chosen || !QFileInfo::exists(path)) {
            Settings::setExportFolder(QFileInfo(path).absolutePath());
            return path;
        }
        const auto answer =
            QMessageBox::question(parent, QString(),
                                  QStringLiteral("“%1” already exists. Do you want to replace it?")
                                      .arg(QFileInfo(path).fileName()),
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer == QMessageBox::Yes) {
            Settings::setExportFolder(QFileInfo(path).absolutePath());
            return path;
        }
        dialog.selectFile(QFileInfo(path).fileName());
    }
}

} // namespace taln
