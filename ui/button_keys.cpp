#include "ui/button_keys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPushButton>

namespace taln {

namespace {

bool isButtonKey(const QKeyEvent& key) {
    if ((key.modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
        return false;
    }
    return key.key() == Qt::Key_Space || key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter;
}

class ButtonKeys : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type != QEvent::ShortcutOverride && type != QEvent::KeyPress) {
            return false;
        }
        auto* button = qobject_cast<QPushButton*>(watched);
        // Key events reach a widget that has the keyboard focus.
        if (button == nullptr || !button->isEnabled()) {
            return false;
        }
        auto* key = static_cast<QKeyEvent*>(event);
        if (!isButtonKey(*key)) {
            return false;
        }
        if (type == QEvent::ShortcutOverride) {
            // The key goes to the button as a key press instead of triggering the shortcut.
            event->accept();
            return true;
        }
        // Qt's buttons take Return only as a dialog's default; Space they handle themselves.
        if (key->key() == Qt::Key_Space || button->autoDefault() || button->isDefault()) {
            return false;
        }
        if (button->menu() != nullptr) {
            button->showMenu();
        } else {
            button->click();
        }
        return true;
    }
};

} // namespace

void installButtonKeys() {
    static ButtonKeys* const filter = [] {
        auto* keys = new ButtonKeys(qApp);
        qApp->installEventFilter(keys);
        return keys;
    }();
    (void)filter;
}

} // namespace taln
