// Faces of the controls: the update button, the connection lamps and the two
// square buttons.

#include "artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace artwork {

// Button face 112 x 32: dark, rounded, light highlight along the top. The
// widget draws "Update" on it in red, so the face stays dark.
QImage paintButton()
{
    QImage img = newImage(112, 32, true);
    QPainter p(&img);
    beginPainter(p);
    const QRectF r(0.5, 0.5, 111, 31);

    QLinearGradient g(0, 0, 0, 32);
    g.setColorAt(0.0, QColor(0x34, 0x3a, 0x44));
    g.setColorAt(0.5, QColor(0x22, 0x27, 0x2e));
    g.setColorAt(1.0, QColor(0x15, 0x18, 0x1d));
    p.setPen(QPen(QColor(0x05, 0x07, 0x0a), 1.0));
    p.setBrush(g);
    p.drawRoundedRect(r, 6, 6);

    // Inner rim.
    p.setPen(QPen(QColor(255, 255, 255, 18), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 5, 5);

    // Highlight along the top.
    QLinearGradient hl(4, 0, 108, 0);
    hl.setColorAt(0.0, QColor(255, 255, 255, 0));
    hl.setColorAt(0.15, QColor(255, 255, 255, 150));
    hl.setColorAt(0.85, QColor(255, 255, 255, 150));
    hl.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillRect(QRectF(5, 1.5, 102, 1.2), hl);
    // Soft sheen under it.
    QLinearGradient sheen(0, 2, 0, 15);
    sheen.setColorAt(0, QColor(255, 255, 255, 28));
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    QPainterPath top;
    top.addRoundedRect(QRectF(2.5, 2.5, 107, 13), 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(sheen);
    p.drawPath(top);
    p.end();
    return img;
}

// Lamp 24 x 24. The form shows it unscaled in a 21 x 20 label whose default
// alignment (left, vertically centred) shows columns 0..20 and rows 2..21, so
// the lamp is drawn inside that window: centre (10.5, 12), radius 9.5.
QImage paintLamp(const QColor &light, const QColor &mid, const QColor &dark)
{
    QImage img = newImage(24, 24, true);
    QPainter p(&img);
    beginPainter(p);
    const QPointF c(10.5, 12.0);

    // Bezel.
    QLinearGradient bezel(0, 2.5, 0, 21.5);
    bezel.setColorAt(0, QColor(0x5a, 0x62, 0x6d));
    bezel.setColorAt(1, QColor(0x14, 0x17, 0x1b));
    p.setPen(Qt::NoPen);
    p.setBrush(bezel);
    p.drawEllipse(c, 9.5, 9.5);

    // Lens.
    QRadialGradient lens(c + QPointF(-2.2, -2.6), 9.0, c + QPointF(-2.2, -2.6));
    lens.setColorAt(0.0, light);
    lens.setColorAt(0.45, mid);
    lens.setColorAt(1.0, dark);
    p.setBrush(lens);
    p.drawEllipse(c, 7.6, 7.6);

    // Specular highlight.
    QRadialGradient glint(c + QPointF(-2.4, -3.6), 4.2);
    glint.setColorAt(0, QColor(255, 255, 255, 210));
    glint.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(glint);
    p.drawEllipse(QRectF(c.x() - 6.2, c.y() - 7.0, 7.6, 5.4));
    p.end();
    return img;
}

// Dark square 32 x 32 with a glyph: minus (Close) or cross (End).
QImage paintSquareButton(bool cross)
{
    QImage img = newImage(32, 32, true);
    QPainter p(&img);
    beginPainter(p);
    const QRectF r(1.5, 1.5, 29, 29);
    QLinearGradient g(0, 1, 0, 31);
    g.setColorAt(0, QColor(0x3a, 0x40, 0x4a));
    g.setColorAt(1, QColor(0x18, 0x1b, 0x21));
    p.setPen(QPen(QColor(0x07, 0x09, 0x0c), 1.0));
    p.setBrush(g);
    p.drawRoundedRect(r, 5, 5);
    p.setPen(QPen(QColor(255, 255, 255, 40), 1.0));
    p.drawLine(QPointF(5, 2.6), QPointF(27, 2.6));

    QPen glyph(kInk, 3.0, Qt::SolidLine, Qt::RoundCap);
    p.setPen(glyph);
    if (cross) {
        p.drawLine(QPointF(10.5, 10.5), QPointF(21.5, 21.5));
        p.drawLine(QPointF(21.5, 10.5), QPointF(10.5, 21.5));
    } else {
        p.drawLine(QPointF(9.5, 16.5), QPointF(22.5, 16.5));
    }
    p.end();
    return img;
}

} // namespace artwork
