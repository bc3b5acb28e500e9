// What assistive technology learns of the panel's push buttons: what Qt's own interface tells
// (the caption as the name, the shortcut as the press action's key binding; a button that stays
// pressed is a check box, checked while pressed, since Qt's AT-SPI bridge maps no role to a toggle
// button), except that a screen reader's toggle clicks the button as the mouse and the keyboard
// do. Qt's toggle only flips the button, so Test would show pressed with no pattern running.
#pragma once

#include <QAccessibleWidget>

class QPushButton;

class clsButtonAccessible : public QAccessibleWidget {
public:
    explicit clsButtonAccessible(QPushButton* Button);

    QAccessible::Role role() const override;
    QString text(QAccessible::Text Kind) const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& Action) override;
    QStringList keyBindingsForAction(const QString& Action) const override;

private:
    QPushButton* Button() const;
};
