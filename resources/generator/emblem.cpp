// The product's emblem, a microchip with an upward arrow, and the application
// icon: a rounded badge that carries it.

#include "artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace artwork {

// Microchip with an upward arrow: the product's emblem, drawn in a box of
// side `s` whose top-left corner is at `origin`. `detail` drops the pins and
// fine lines for tiny icon sizes.
void paintChip(QPainter &p, QPointF origin, qreal s, qreal alpha, bool detail)
{
    p.save();
    p.translate(origin);
    p.scale(s / 100.0, s / 100.0);
    p.setOpacity(alpha);

    // Pins.
    if (detail) {
        QColor pin(0xa9, 0xb8, 0xc9);
        p.setPen(Qt::NoPen);
        p.setBrush(pin);
        for (int i = 0; i < 4; ++i) {
            const qreal c = 29 + i * 14;
            p.drawRoundedRect(QRectF(c - 3, 6, 6, 12), 1.5, 1.5);  // top
            p.drawRoundedRect(QRectF(c - 3, 82, 6, 12), 1.5, 1.5); // bottom
            p.drawRoundedRect(QRectF(6, c - 3, 12, 6), 1.5, 1.5);  // left
            p.drawRoundedRect(QRectF(82, c - 3, 12, 6), 1.5, 1.5); // right
        }
    }

    // Body.
    QRectF body(16, 16, 68, 68);
    QLinearGradient g(body.topLeft(), body.bottomRight());
    g.setColorAt(0, QColor(0x3b, 0x46, 0x55));
    g.setColorAt(1, QColor(0x1a, 0x20, 0x29));
    p.setBrush(g);
    p.setPen(QPen(QColor(0x6d, 0x7c, 0x8f), detail ? 1.6 : 3.0));
    p.drawRoundedRect(body, 8, 8);

    // Orientation dot.
    if (detail) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x6d, 0x7c, 0x8f));
        p.drawEllipse(QPointF(25, 25), 2.6, 2.6);
    }

    // Upward arrow.
    QPainterPath arrow;
    arrow.moveTo(50, 27);
    arrow.lineTo(67, 46);
    arrow.lineTo(56.5, 46);
    arrow.lineTo(56.5, 66);
    arrow.lineTo(43.5, 66);
    arrow.lineTo(43.5, 46);
    arrow.lineTo(33, 46);
    arrow.closeSubpath();
    QLinearGradient ag(50, 27, 50, 66);
    ag.setColorAt(0, kAccent.lighter(120));
    ag.setColorAt(1, kAccentDeep);
    p.setBrush(ag);
    p.setPen(Qt::NoPen);
    p.drawPath(arrow);
    // Base line under the arrow: "into the device".
    p.setBrush(kInk);
    p.drawRoundedRect(QRectF(36, 70, 28, 4.5), 2, 2);

    p.restore();
}

// Icon: a rounded badge with the emblem, painted at any size.
QImage paintIcon(int size)
{
    QImage img = newImage(size, size, true);
    QPainter p(&img);
    beginPainter(p);
    p.scale(size / 256.0, size / 256.0);
    const bool detail = size >= 32;
    const bool caption = size >= 48;

    const QRectF badge(8, 8, 240, 240);
    // Drop shadow.
    if (detail) {
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 6; ++i) {
            p.setBrush(QColor(0, 0, 0, 10));
            p.drawRoundedRect(badge.adjusted(-1 + i, 2 + i, 1 - i, 6 - i), 52, 52);
        }
    }
    QLinearGradient g(0, badge.top(), 0, badge.bottom());
    g.setColorAt(0, QColor(0x2b, 0x4a, 0x78));
    g.setColorAt(1, QColor(0x10, 0x19, 0x28));
    p.setBrush(g);
    p.setPen(QPen(QColor(0x5f, 0x8c, 0xc4), size >= 32 ? 4 : 10));
    p.drawRoundedRect(badge.adjusted(2, 2, -2, -2), 48, 48);

    // Gloss on the upper half.
    if (detail) {
        QPainterPath gloss;
        gloss.addRoundedRect(badge.adjusted(10, 10, -10, -120), 40, 40);
        QLinearGradient gg(0, badge.top() + 10, 0, badge.top() + 120);
        gg.setColorAt(0, QColor(255, 255, 255, 40));
        gg.setColorAt(1, QColor(255, 255, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(gg);
        p.drawPath(gloss);
    }

    if (caption) {
        paintChip(p, QPointF(58, 30), 140, 1.0, true);
        p.setFont(font(44, true, 3));
        p.setPen(kInk);
        p.drawText(QRectF(8, 170, 240, 60), Qt::AlignCenter, QStringLiteral("KVT"));
    } else {
        paintChip(p, QPointF(28, 28), 200, 1.0, false);
    }
    p.end();
    return img;
}

} // namespace artwork
