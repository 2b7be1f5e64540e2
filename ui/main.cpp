// taln: the window. Optionally opens one file given on the command line (what a desktop
// launcher passes for %f).

#include "ui/look.h"
#include "ui/main_window.h"
#include "ui/qt_file_panels.h"
#include "ui/taln_app.h"

#include "model/taln_model.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>

int main(int argc, char** argv) {
    // SDL, which plays the sound, would otherwise turn SIGINT and SIGTERM into events that
    // no one here reads: once audio had started, `kill` and the session's logout could no
    // longer end Taln.
    qputenv("SDL_NO_SIGNAL_HANDLERS", "1");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Taln"));
    QApplication::setApplicationVersion(QStringLiteral(TALN_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("taln"));
    QApplication::setWindowIcon(taln::look::appIcon());
    // Desktops whose icon theme lacks them (or that have none) still get the theme's play,
    // pause and swap symbols; the desktop's own theme is asked first.
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Removes steady background noise from recordings."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("An audio or video file to open at start."),
                                 QStringLiteral("[file]"));
    parser.process(application);

    taln::TalnApp app(std::make_unique<taln::QtFilePanels>(), taln::makeSdlOutput());
    app.newWindow();

    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty()) {
        const QString path = QFileInfo(files.front()).absoluteFilePath();
        QTimer::singleShot(0, app.model(), [&app, path] { app.model()->load(path); });
    }
    return QApplication::exec();
}
