#pragma once

// The Help menu's two dialogs: the keyboard shortcuts, and About Taln (its version, licence
// and the libraries it uses with theirs). Both modal over `parent`. Main thread.

#include <QString>

class QWidget;

namespace taln::HelpDialogs {

void showKeyboardShortcuts(QWidget* parent);
void showAbout(QWidget* parent);

// The texts the dialogs show, as rich text.
QString shortcutsText();
QString aboutText();

} // namespace taln::HelpDialogs
