#include "panel/clsLampBox.h"

#include <QAccessible>
#include <QPainter>
#include <QStyleOptionButton>

#include "panel/clsLampAccessible.h"

namespace {

// A colour that stands out from the window and from any lamp colour: halfway between the window
// and its text, which every palette, light or dark, keeps far apart.
QColor RimColour(const QPalette& Palette) {
    const QColor a = Palette.color(QPalette::Active, QPalette::Window);
    const QColor b = Palette.color(QPalette::Active, QPalette::WindowText);
    return QColor((a.red() + b.red()) / 2, (a.green() + b.green()) / 2, (a.blue() + b.blue()) / 2);
}

}  // namespace

clsLampBox::clsLampBox(Look Kind, QWidget* Parent)
    : QCheckBox(Parent), eLook(Kind), oColour(palette().color(QPalette::Button)) {
    clsLampAccessible::Install();
}

bool clsLampBox::event(QEvent* Event) {
    const bool done = QCheckBox::event(Event);
    // paintEvent covers every pixel. Set after the style's polish, which may clear it (Fusion
    // does), also when the style changes.
    if (Event->type() == QEvent::Polish || Event->type() == QEvent::StyleChange)
        setAttribute(Qt::WA_OpaquePaintEvent);
    if (Event->type() == QEvent::StyleChange || Event->type() == QEvent::PaletteChange)
        oDrawn = {};  // drawn in the old look
    return done;
}

void clsLampBox::SetColour(const QColor& Colour) {
    if (Colour == oColour) return;
    oColour = Colour;
    update();
}

void clsLampBox::SetMark(bool On) {
    if (On == bMark) return;
    bMark = On;
    update();
}

void clsLampBox::SetValue(const QString& Text) {
    if (Text == sValue) return;
    sValue = Text;
    if (QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void clsLampBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (eLook == Look::CheckBox) {
        PaintCheckBox(painter);
        return;
    }
    // The whole face is the lamp; the rim keeps a lamp of any colour visible on any group. The
    // face is filled inside the rim rather than the rim drawn over it, so that at a fractional
    // scale no row of device pixels of the face is left outside the rim's line.
    painter.fillRect(rect(), RimColour(palette()));
    painter.fillRect(QRectF(rect()).adjusted(1, 1, -1, -1), oColour);
    if (bMark) {
        // Black or white, whichever the face is not.
        const QColor cross = qGray(oColour.rgb()) < 128 ? Qt::white : Qt::black;
        const qreal inset = 2.5;
        const QRectF face = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(cross, std::max(1.5, width() / 8.0), Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(face.topLeft(), face.bottomRight());
        painter.drawLine(face.topRight(), face.bottomLeft());
    }
}

void clsLampBox::PaintCheckBox(QPainter& Painter) {
    QStyleOptionButton option;
    initStyleOption(&option);
    const qreal ratio = devicePixelRatioF();
    const int state = static_cast<int>(option.state);
    for (const Drawn& d : oDrawn) {
        if (d.Colour == oColour && d.State == state && d.Size == size() && d.Ratio == ratio) {
            Painter.drawPixmap(0, 0, d.Pixmap);
            return;
        }
    }
    Drawn& d = oDrawn[iNextDrawn];
    iNextDrawn = (iNextDrawn + 1) % oDrawn.size();
    d = Drawn{oColour, state, size(), ratio, QPixmap(size() * ratio)};
    d.Pixmap.setDevicePixelRatio(ratio);
    d.Pixmap.fill(oColour);
    QPainter drawing(&d.Pixmap);
    style()->drawControl(QStyle::CE_CheckBox, &option, &drawing, this);
    drawing.end();
    Painter.drawPixmap(0, 0, d.Pixmap);
}

// The whole box reacts to a click, not only the indicator and its (absent) caption.
bool clsLampBox::hitButton(const QPoint& Pos) const { return rect().contains(Pos); }
