#include "panel/clsLampBox.h"

#include <QPainter>

clsLampBox::clsLampBox(Look Kind, QWidget* Parent)
    : QCheckBox(Parent), eLook(Kind), oColour(palette().color(QPalette::Button)) {}

void clsLampBox::SetColour(const QColor& Colour) {
    if (Colour == oColour) return;
    oColour = Colour;
    update();
}

void clsLampBox::paintEvent(QPaintEvent* Event) {
    QPainter painter(this);
    if (eLook == Look::Lamp) {
        // The whole face is the lamp; a thin rim keeps a button-face lamp visible on the group.
        painter.fillRect(rect(), oColour);
        painter.setPen(palette().color(QPalette::Active, QPalette::Dark));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        return;
    }
    painter.fillRect(rect(), oColour);
    painter.end();
    QCheckBox::paintEvent(Event);
}

// The whole box reacts to a click, not only the indicator and its (absent) caption.
bool clsLampBox::hitButton(const QPoint& Pos) const { return rect().contains(Pos); }
