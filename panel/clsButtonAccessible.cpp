#include "panel/clsButtonAccessible.h"

#include <QPushButton>

clsButtonAccessible::clsButtonAccessible(QPushButton* Button)
    : QAccessibleWidget(Button, QAccessible::Button) {}

QPushButton* clsButtonAccessible::Button() const { return static_cast<QPushButton*>(widget()); }

// Asked each time: a button may become checkable after its interface exists.
QAccessible::Role clsButtonAccessible::role() const {
    return Button()->isCheckable() ? QAccessible::CheckBox : QAccessible::Button;
}

// The panel's captions carry no "&" mnemonic, so the caption is the name as it stands.
QString clsButtonAccessible::text(QAccessible::Text Kind) const {
    const QString text = QAccessibleWidget::text(Kind);
    return Kind == QAccessible::Name && text.isEmpty() ? Button()->text() : text;
}

QAccessible::State clsButtonAccessible::state() const {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = Button()->isCheckable();
    s.checked = Button()->isChecked();
    s.pressed = Button()->isDown();
    s.defaultButton = Button()->isDefault();
    return s;
}

QStringList clsButtonAccessible::actionNames() const {
    QStringList names = QAccessibleWidget::actionNames();
    if (widget()->isEnabled())
        names.prepend(Button()->isCheckable() ? toggleAction() : pressAction());
    return names;
}

// A press as Qt makes one: pressed for a moment, clicked after the call has returned. A toggle
// clicks at once and leaves the focus where it is (an animated click of a checkable button takes
// it).
void clsButtonAccessible::doAction(const QString& Action) {
    if (widget()->isEnabled() && Action == pressAction())
        Button()->animateClick();
    else if (widget()->isEnabled() && Action == toggleAction())
        Button()->click();
    else
        QAccessibleWidget::doAction(Action);
}

// As Qt gives it: the shortcut is the press action's key.
QStringList clsButtonAccessible::keyBindingsForAction(const QString& Action) const {
    if (Action == pressAction() && !Button()->shortcut().isEmpty())
        return {Button()->shortcut().toString()};
    return QAccessibleWidget::keyBindingsForAction(Action);
}
