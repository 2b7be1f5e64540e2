#pragma once

// Settings: what Taln remembers across runs, in QSettings under the application's
// organisation and name (~/.config/Taln/Taln.conf on Linux): the recently opened files, the
// folders the open and save panels last used, the strength, and the window's geometry. Main
// thread.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace taln::Settings {

// Reading a settings file blocks when it is a named pipe, and would never end on a device:
// call this once, before anything reads the settings. When the user's settings file (or the
// organisation-wide one beside it) exists but is not a regular file, this run keeps its
// settings in a folder of its own, starting from the defaults, and the one line to say so is
// returned; nothing when the files are fine.
std::optional<QString> setAsideUnlessRegularFiles();

// The most recently opened files, newest first, at most kRecentFiles.
inline constexpr int kRecentFiles = 10;
QStringList recentFiles();
// Puts `path` first, dropping an earlier entry of it and the oldest beyond kRecentFiles.
void addRecentFile(const QString& path);
// Replaces the list (the newest first).
void setRecentFiles(const QStringList& files);
void clearRecentFiles();

// Empty until a panel has been used.
QString openFolder();
void setOpenFolder(const QString& folder);
QString exportFolder();
void setExportFolder(const QString& folder);

// The strength last set (percent, 0 ... 100); none before the first.
std::optional<double> strength();
void setStrength(double strength);

// Empty before the first window closed.
QByteArray windowGeometry();
void setWindowGeometry(const QByteArray& geometry);

} // namespace taln::Settings
