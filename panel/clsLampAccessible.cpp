#include "panel/clsLampAccessible.h"

#include <QPushButton>

#include "panel/clsButtonAccessible.h"
#include "panel/clsLampBox.h"

namespace {

QAccessibleInterface* Factory(const QString& ClassName, QObject* Object) {
    if (auto* box = qobject_cast<clsLampBox*>(Object);
        box && ClassName == QLatin1String("clsLampBox"))
        return new clsLampAccessible(box);
    if (auto* button = qobject_cast<QPushButton*>(Object);
        button && ClassName == QLatin1String("QPushButton") &&
        button->window()->metaObject()->className() == QLatin1String("frmTest"))
        return new clsButtonAccessible(button);
    // A plain QWidget is a "client" even as a window; as a window it keeps its title as its name.
    const bool window =
        ClassName == QLatin1String("frmTest") || ClassName == QLatin1String("frmVirtualBoard");
    if (auto* widget = qobject_cast<QWidget*>(Object); window && widget && widget->isWindow())
        return new QAccessibleWidget(widget, QAccessible::Window);
    return nullptr;
}

}  // namespace

clsLampAccessible::clsLampAccessible(clsLampBox* Box)
    : QAccessibleWidget(Box, Box->Kind() == clsLampBox::Look::CheckBox ? QAccessible::CheckBox
                                                                       : QAccessible::StaticText) {}

void clsLampAccessible::Install() {
    static const bool installed = [] {
        QAccessible::installFactory(Factory);
        return true;
    }();
    (void)installed;
}

clsLampBox* clsLampAccessible::Box() const { return static_cast<clsLampBox*>(widget()); }

bool clsLampAccessible::Operable() const { return Box()->Kind() == clsLampBox::Look::CheckBox; }

QString clsLampAccessible::text(QAccessible::Text Kind) const {
    const QString text = QAccessibleWidget::text(Kind);
    if (Kind != QAccessible::Name || Box()->Value().isEmpty()) return text;
    return text.isEmpty() ? Box()->Value() : text + QLatin1Char(' ') + Box()->Value();
}

QAccessible::State clsLampAccessible::state() const {
    QAccessible::State s = QAccessibleWidget::state();
    if (Operable()) {
        s.checkable = true;
        s.checked = Box()->isChecked();
    } else {
        s.disabled = false;  // the widget is disabled only so that clicks pass it by
        s.focusable = false;
    }
    return s;
}

QStringList clsLampAccessible::actionNames() const {
    QStringList names = QAccessibleWidget::actionNames();
    if (Operable() && widget()->isEnabled()) names.prepend(toggleAction());
    return names;
}

void clsLampAccessible::doAction(const QString& Action) {
    if (Operable() && widget()->isEnabled() && Action == toggleAction())
        Box()->click();
    else
        QAccessibleWidget::doAction(Action);
}
