#include "ui/qt_file_panels.h"

#include "ui/settings.h"
#include "ui_fixture.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QTimer>

#include <sys/stat.h>

namespace taln::test {
namespace {

using Kind = AudioExporter::Kind;

// The save panel, answered by a "user" who types a name and presses Save.
// The panel opens where the last export went (remembered across runs), else in the given
// folder, else at home.
TEST(QtSavePanel, OpensInTheLastFolderUsedAndEndsInTheKindsExtension) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = QDir(dir.path()).canonicalPath();
    struct Case {
        Kind kind;
        QString folder;
        QString typed;
        QString openedIn;
        QString written;
    };
    Settings::setExportFolder(QString());
    const Case cases[] = {
        {Kind::wav, folder + "/gone", "z.wav", QDir::home().canonicalPath(), ""},
        {Kind::m4a, folder, "x.wav", folder, folder + "/x.wav.m4a"},
        {Kind::m4a, folder, "x", folder, folder + "/x.m4a"},
        {Kind::wav, folder, "y.WAV", folder, folder + "/y.WAV"},
        {Kind::wav, folder + "/gone", "z.wav", folder, ""},
    };
    for (const Case& c : cases) {
        QString openedIn;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            openedIn = QDir(dialog->directory()).canonicalPath();
            if (c.written.isEmpty()) {
                dialog->reject();
                return;
            }
            dialog->selectFile(c.typed);
            static_cast<QDialog*>(dialog)->accept(); // what Save does
        });
        const auto chosen = QtFilePanels().chooseExportDestination(c.kind, "suggested", c.folder);
        EXPECT_EQ(openedIn, c.openedIn) << c.typed.toStdString();
        EXPECT_EQ(chosen.value_or(QString()), c.written) << c.typed.toStdString();
    }
}

// A settings file that is a named pipe blocked the window before it ever appeared: such a file
// is set aside (once, with a line saying so) and never read; regular files are used as they are.
TEST(SettingsFile, ANamedPipeIsSetAsideAndNeverRead) {
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    const QString folder = config.path() + QLatin1Char('/') + QCoreApplication::organizationName();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString file = folder + QLatin1Char('/') + QCoreApplication::applicationName() + ".conf";
    QFile(file).open(QIODevice::WriteOnly);
    EXPECT_FALSE(Settings::setAsideUnlessRegularFiles());
    QFile::remove(file);
    ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    const auto said = Settings::setAsideUnlessRegularFiles();
    ASSERT_TRUE(said);
    EXPECT_TRUE(said->startsWith(file)) << said->toStdString();
    Settings::addRecentFile(QStringLiteral("/x.wav")); // would block on the pipe
    EXPECT_EQ(Settings::recentFiles(), QStringList{QStringLiteral("/x.wav")});
    qunsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace taln::test
