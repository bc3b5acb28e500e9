// A check box that shows a colour: either as the background behind an ordinary check box (the
// output boxes) or as a lamp, a small square whose whole face is the colour (the input lamps).
// The colour is painted directly and opaquely, so changing it repaints this box alone: no style
// work and nothing of the group behind it.
//
// A lamp can also carry a mark, a cross over its face, for "no reading". The box's state in words
// (its value, e.g. "high" or "on") follows its accessible name for screen readers
// (clsLampAccessible), since the colour alone says nothing to them.
#pragma once

#include <QCheckBox>
#include <QColor>
#include <QPixmap>
#include <array>

class clsLampBox : public QCheckBox {
    Q_OBJECT
public:
    enum class Look { CheckBox, Lamp };

    explicit clsLampBox(Look Kind, QWidget* Parent = nullptr);

    // Each setter repaints or notifies only when something actually changes.
    void SetColour(const QColor& Colour);
    QColor Colour() const { return oColour; }
    void SetMark(bool On);
    bool Mark() const { return bMark; }
    void SetValue(const QString& Text);
    QString Value() const { return sValue; }

    Look Kind() const { return eLook; }

protected:
    bool event(QEvent* Event) override;
    void paintEvent(QPaintEvent* Event) override;
    bool hitButton(const QPoint& Pos) const override;

private:
    // An output box as last drawn in each of the two colours it alternates between, so that a
    // colour change is one pixmap copy rather than the style drawing the box again.
    struct Drawn {
        QColor Colour;
        int State = -1;  // QStyle::State the box was drawn in
        QSize Size;
        qreal Ratio = 0;
        QPixmap Pixmap;
    };
    void PaintCheckBox(QPainter& Painter);

    Look eLook;
    std::array<Drawn, 2> oDrawn;
    std::size_t iNextDrawn = 0;
    QColor oColour;
    bool bMark = false;
    QString sValue;
};
