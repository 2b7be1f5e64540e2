#include "ui/settings.h"

#include <QSettings>

namespace taln::Settings {

namespace {

const QString kRecentFilesKey = QStringLiteral("recentFiles");
const QString kOpenFolderKey = QStringLiteral("openFolder");
const QString kExportFolderKey = QStringLiteral("exportFolder");
const QString kGeometryKey = QStringLiteral("windowGeometry");

} // namespace

QStringList recentFiles() {
    return QSettings().value(kRecentFilesKey).toStringList().mid(0, kRecentFiles);
}

void addRecentFile(const QString& path) {
    QStringList files = recentFiles();
    files.removeAll(path);
    files.prepend(path);
    QSettings().setValue(kRecentFilesKey, files.mid(0, kRecentFiles));
}

void clearRecentFiles() {
    QSettings().remove(kRecentFilesKey);
}

QString openFolder() {
    return QSettings().value(kOpenFolderKey).toString();
}

void setOpenFolder(const QString& folder) {
    QSettings().setValue(kOpenFolderKey, folder);
}

QString exportFolder() {
    return QSettings().value(kExportFolderKey).toString();
}

void setExportFolder(const QString& folder) {
    QSettings().setValue(kExportFolderKey, folder);
}

QByteArray windowGeometry() {
    return QSettings().value(kGeometryKey).toByteArray();
}

void setWindowGeometry(const QByteArray& geometry) {
    QSettings().setValue(kGeometryKey, geometry);
}

} // namespace taln::Settings
