// taln: the window. Optionally opens one file given on the command line (what a desktop
// launcher passes for %f).

#include "ui/content_view.h"
#include "ui/look.h"
#include "ui/main_window.h"
#include "ui/qt_file_panels.h"
#include "ui/settings.h"
#include "ui/taln_app.h"

#include "audio/ffmpeg_error.h"
#include "audio/replacing_file.h"
#include "model/process_start.h"
#include "model/taln_model.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>

#include <signal.h>

#include <cstdio>

namespace {

// --help and --version print and exit without a window, so they work without a display.
bool onlyPrints(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" ||
            arg == "--version") {
            return true;
        }
    }
    return false;
}

void describe(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        QStringLiteral("Removes steady background noise from recordings."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("An audio or video file to open at start."),
                                 QStringLiteral("[file]"));
}

} // namespace

int main(int argc, char** argv) {
    if (onlyPrints(argc, argv)) {
        QCoreApplication printer(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Taln"));
        QCoreApplication::setApplicationVersion(QStringLiteral(TALN_VERSION));
        QCommandLineParser parser;
        describe(parser);
        parser.process(printer);
        return 0;
    }
    taln::quietFfmpegLog();
    // SIGTERM (a logout, `kill`) and SIGHUP end the window at once, an export's temporary
    // file removed first; SIGXFSZ makes a write fail with a message.
    taln::ReplacingFile::endOnSignals({SIGTERM, SIGHUP});
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Taln"));
    // Settings land in ~/.config/Taln/Taln.conf.
    QApplication::setOrganizationName(QStringLiteral("Taln"));
    QApplication::setApplicationVersion(QStringLiteral(TALN_VERSION));
    // Process-wide: how large buffers are mapped, and the measured FFT plans.
    taln::ProcessStart::prepare();
    if (const auto aside = taln::Settings::setAsideUnlessRegularFiles()) {
        std::fprintf(stderr, "taln: %s\n", qPrintable(*aside));
    }
    QGuiApplication::setDesktopFileName(QStringLiteral("org.taln.Taln"));
    QApplication::setWindowIcon(taln::look::appIcon());
    // Desktops whose icon theme lacks them (or that have none) still get the theme's play,
    // pause and swap symbols; the desktop's own theme is asked first.
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));

    QCommandLineParser parser;
    describe(parser);
    parser.process(application);

    taln::TalnApp app([] { return std::make_unique<taln::QtFilePanels>(); },
                      [] { return taln::makeSdlOutput(); });
    taln::MainWindow* window = app.newWindow();

    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty()) {
        const QString path = QFileInfo(files.front()).absoluteFilePath();
        taln::TalnModel* model = window->content()->model();
        QTimer::singleShot(0, model, [model, path] { model->load(path); });
    }
    return QApplication::exec();
}
