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
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Taln"));
    QApplication::setApplicationVersion(QStringLiteral(TALN_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("taln"));
    QApplication::setWindowIcon(taln::look::appIcon());
    // Desktops without a theme of their own still get play and pause symbols.
    if (QIcon::fallbackThemeName().isEmpty()) {
        QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    }

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
