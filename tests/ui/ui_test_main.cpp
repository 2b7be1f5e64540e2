// The ui tests run on Qt's offscreen platform, so they need no display.

#include "model/process_start.h"

#include <QApplication>
#include <QIcon>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    // As the window starts: large buffers mapped on their own, the measured FFT plans.
    taln::ProcessStart::prepare();
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    // Remembered files, folders and geometry go to a folder of the run's own, never to the
    // user's settings.
    const QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    QCoreApplication::setOrganizationName(QStringLiteral("Taln"));
    QCoreApplication::setApplicationName(QStringLiteral("TalnTests"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
