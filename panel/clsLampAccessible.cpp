#include "panel/clsLampAccessible.h"

#include "panel/clsLampBox.h"

namespace {

QAccessibleInterface* Factory(const QString& ClassName, QObject* Object) {
    auto* box = qobject_cast<clsLampBox*>(Object);
    if (ClassName != QLatin1String("clsLampBox") || box == nullptr) return nullptr;
    return new clsLampAccessible(box);
}

}  // namespace

clsLampAccessible::clsLampAccessible(clsLampBox* Box)
    : QAccessibleWidget(Box, Box->Kind() == clsLampBox::Look::CheckBox ? QAccessible::CheckBox
                                                                       : QAccessible::Indicator) {}

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
    if (Kind == QAccessible::Value) return Box()->Value();
    return QAccessibleWidget::text(Kind);
}

QAccessible::State clsLampAccessible::state() const {
    QAccessible::State s = QAccessibleWidget::state();
    if (Operable()) {
        s.checkable = true;
        s.checked = Box()->isChecked();
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
