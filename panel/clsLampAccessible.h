// What assistive technology learns of a clsLampBox: its accessible name, its state in words as
// the value (Value of clsLampBox), and for an output box also checked or not and a toggle action.
// A lamp is an indicator rather than a check box: nothing can switch it.
#pragma once

#include <QAccessibleWidget>

class clsLampBox;

class clsLampAccessible : public QAccessibleWidget {
public:
    explicit clsLampAccessible(clsLampBox* Box);

    // Registers the interface for every clsLampBox; safe to call any number of times.
    static void Install();

    QString text(QAccessible::Text Kind) const override;
    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& Action) override;

private:
    clsLampBox* Box() const;
    bool Operable() const;
};
