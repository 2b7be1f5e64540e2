// The ui tests run on Qt's offscreen platform, so they need no display.

#include <QApplication>
#include <QIcon>
#include <QStandardPaths>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings the window remembers go to a test folder, never the user's own.
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
