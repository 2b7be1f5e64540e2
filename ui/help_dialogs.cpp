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
    Row{"Space", "Play or pause"},
    Row{"C", "Compare with the original"},
    Row{"Shift+Left, Shift+Right", "Back or forward 5 seconds"},
    Row{"Left, Right", "Back or forward 5 seconds while the waveforms have focus"},
    Row{"Home", "To the start"},
    Row{"End", "To the end while the waveforms have focus"},
    Row{"Esc", "Cancel reading or exporting"},
    Row{"Ctrl+N", "New window"},
    Row{"Ctrl+W", "Close window"},
    Row{"Ctrl+Q", "Quit"},
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
