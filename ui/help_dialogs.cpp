#include "ui/help_dialogs.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QWidget>
#include <array>

namespace taln::HelpDialogs {

namespace {

struct Row {
    const char* keys;
    const char* command;
};

constexpr std::array kShortcuts{
    Row{"Ctrl+O", "Open a file"},
    Row{"Ctrl+E", "Export as M4A"},
    Row{"Ctrl+Shift+E", "Export as WAV"},
    Row{"Ctrl+Alt+E", "Export as FLAC"},
    Row{"Space", "Play or pause (on a focused button: press it)"},
    Row{"C", "Compare with the original"},
    Row{"R", "Hear what the cleaning removed"},
    Row{"Shift+Left, Shift+Right", "Back or forward 5 seconds"},
    Row{"Left, Right", "Back or forward 5 seconds while the waveforms have focus"},
    Row{"Home", "To the start"},
    Row{"End", "To the end while the waveforms have focus"},
    Row{"Shift+drag", "Select a stretch of noise on the waveforms"},
    Row{"[, ]", "Start or end the selection at the playhead"},
    Row{"N", "Take the noise sample from the selection"},
    Row{"Esc", "Cancel reading or exporting, else clear the selection"},
    Row{"S", "Spectrograms or waveforms"},
    Row{"Ctrl+wheel, Ctrl+=, Ctrl+-", "Zoom in or out around the pointer or the playhead"},
    Row{"Ctrl+0", "Show the whole file"},
    Row{"Shift+wheel", "Scroll through the file while zoomed in"},
    Row{"Ctrl+N", "New window"},
    Row{"Ctrl+W", "Close window"},
    Row{"Ctrl+Q", "Quit"},
    Row{"F1, Ctrl+?", "This list"},
};

struct Library {
    const char* name;
    const char* licence;
};

constexpr std::array kLibraries{
    Library{"Qt", "LGPL-3.0"},
    Library{"FFmpeg", "GPL-2.0-or-later / LGPL-2.1-or-later (as built by Debian)"},
    Library{"SDL2", "zlib"},
    Library{"FFTW", "GPL-2.0-or-later"},
    Library{"libebur128", "MIT"},
};

} // namespace

QString shortcutsText() {
    QString rows;
    for (const Row& row : kShortcuts) {
        rows += QStringLiteral("<tr><td><b>%1</b></td><td>&nbsp;&nbsp;%2</td></tr>")
                    .arg(QString::fromUtf8(row.keys).toHtmlEscaped(),
                         QString::fromUtf8(row.command).toHtmlEscaped());
    }
    return QStringLiteral("<table>%1</table>").arg(rows);
}

QString aboutText() {
    QString libraries;
    for (const Library& library : kLibraries) {
        libraries += QStringLiteral("<li>%1 — %2</li>")
                         .arg(QString::fromUtf8(library.name), QString::fromUtf8(library.licence));
    }
    return QStringLiteral("<h3>Taln %1</h3>"
                          "<p>Removes steady background noise from recordings.</p>"
                          "<p>Licence: GPL-3.0-or-later</p>"
                          "<p>Taln uses these libraries:</p><ul>%2</ul>")
        .arg(QCoreApplication::applicationVersion().toHtmlEscaped(), libraries);
}

void showKeyboardShortcuts(QWidget* parent) {
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("Keyboard Shortcuts"));
    box.setTextFormat(Qt::RichText);
    box.setText(shortcutsText());
    box.exec();
}

void showAbout(QWidget* parent) {
    QMessageBox box(parent);
    box.setObjectName(QStringLiteral("aboutDialog"));
    box.setWindowTitle(QStringLiteral("About Taln"));
    box.setIconPixmap(parent != nullptr ? parent->windowIcon().pixmap(64) : QPixmap());
    box.setTextFormat(Qt::RichText);
    box.setText(aboutText());
    box.exec();
}

} // namespace taln::HelpDialogs
