// What assistive technology learns of a clsLampBox: its accessible name, its state in words as
// the description (Value of clsLampBox; the AT-SPI bridge carries the description and announces
// its changes, while a text value would not reach a screen reader), and for an output box also
// checked or not and a toggle action. A lamp is no check box: nothing can switch it, Tab does not
// reach it, and it is always there to be read. It is a label to AT-SPI (Qt's indicator role
// reaches it as "unknown").
#pragma once

#include <QAccessibleWidget>

class clsLampBox;

class clsLampAccessible : public QAccessibleWidget {
public:
    explicit clsLampAccessible(clsLampBox* Box);

    // Registers the interface for every clsLampBox, and the window role for the program's top-level
    // windows (else announced as a nameless "filler"); safe to call any number of times.
    static void Install();

    QString text(QAccessible::Text Kind) const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& Action) override;

private:
    clsLampBox* Box() const;
    bool Operable() const;
};
