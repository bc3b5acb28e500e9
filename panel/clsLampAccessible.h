// What assistive technology learns of a clsLampBox: its name followed by its state in words
// (Value of clsLampBox), "input 0 (D6) low", with a name change announced when the state changes,
// and for an output box also checked or not and a toggle action. The state is in the name because
// Orca speaks a description only for the object with the focus, which a lamp never takes, and the
// name wherever it meets the box: under the mouse and in flat review. A lamp is no check box:
// nothing can switch it, Tab does not reach it, and it is always there to be read. It is a label
// to AT-SPI (Qt's indicator role reaches it as "unknown").
#pragma once

#include <QAccessibleWidget>

class clsLampBox;

class clsLampAccessible : public QAccessibleWidget {
public:
    explicit clsLampAccessible(clsLampBox* Box);

    // Registers the interface for every clsLampBox, clsButtonAccessible for the panel's push
    // buttons, and the window role for the program's top-level windows (else announced as a
    // nameless "filler"); safe to call any number of times. Qt asks the factories installed last
    // first, so this comes after the QApplication (whose factory covers Qt's widgets), and before
    // the widgets it serves exist: an interface, once made, serves its widget for good.
    static void Install();

    QString text(QAccessible::Text Kind) const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& Action) override;

private:
    clsLampBox* Box() const;
    bool Operable() const;
};
