// A check box that shows a colour: either as the background behind an ordinary check box (the
// output boxes) or as a lamp, a small square whose whole face is the colour (the input lamps).
// The colour is painted directly, so changing it costs one repaint request and no style work.
#pragma once

#include <QCheckBox>
#include <QColor>

class clsLampBox : public QCheckBox {
    Q_OBJECT
public:
    enum class Look { CheckBox, Lamp };

    explicit clsLampBox(Look Kind, QWidget* Parent = nullptr);

    // Repaints only when the colour actually changes.
    void SetColour(const QColor& Colour);
    QColor Colour() const { return oColour; }

protected:
    void paintEvent(QPaintEvent* Event) override;
    bool hitButton(const QPoint& Pos) const override;

private:
    Look eLook;
    QColor oColour;
};
