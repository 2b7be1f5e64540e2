#include "ui/settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace taln::Settings {

namespace {

// Whether `path` is missing or names a regular file (links followed).
bool absentOrRegular(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) != 0 || S_ISREG(info.st_mode);
}

const QString kRecentFilesKey = QStringLiteral("recentFiles");
const QString kOpenFolderKey = QStringLiteral("openFolder");
const QString kExportFolderKey = QStringLiteral("exportFolder");
const QString kGeometryKey = QStringLiteral("windowGeometry");
const QString kStrengthKey = QStringLiteral("strength");

} // namespace

std::optional<QString> setAsideUnlessRegularFiles() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString organisation = QCoreApplication::organizationName();
    const QString files[] = {
        config + QLatin1Char('/') + organisation + QLatin1Char('/') +
            QCoreApplication::applicationName() + QStringLiteral(".conf"),
        config + QLatin1Char('/') + organisation + QStringLiteral(".conf"),
    };
    for (const QString& file : files) {
        if (absentOrRegular(file)) {
            continue;
        }
        // Kept for the rest of the run; removed with its contents when the process ends.
        static QTemporaryDir aside;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, aside.path());
        return QDir::toNativeSeparators(file) +
               QStringLiteral(" is not a regular file: Taln starts with its default settings "
                              "and will not remember this run's.");
    }
    return std::nullopt;
}

QStringList recentFiles() {
    return QSettings().value(kRecentFilesKey).toStringList().mid(0, kRecentFiles);
}

void addRecentFile(const QString& path) {
    QStringList files = recentFiles();
    files.removeAll(path);
    files.prepend(path);
    setRecentFiles(files);
}

void setRecentFiles(const QStringList& files) {
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

std::optional<double> strength() {
    bool ok = false;
    const double value = QSettings().value(kStrengthKey).toDouble(&ok);
    // A hand-edited file may hold anything: only a percent is taken.
    if (!ok || !(value >= 0.0 && value <= 100.0)) {
        return std::nullopt;
    }
    return value;
}

void setStrength(double strength) {
    QSettings().setValue(kStrengthKey, strength);
}

QByteArray windowGeometry() {
    return QSettings().value(kGeometryKey).toByteArray();
}

void setWindowGeometry(const QByteArray& geometry) {
    QSettings().setValue(kGeometryKey, geometry);
}

} // namespace taln::Settings
