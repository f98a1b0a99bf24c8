// The large surfaces: the window's background, the light grey bars and the
// logo strip.

#include "artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>

namespace artwork {

// Background, 524 x 324, RGB without alpha.
//
// Controls drawn over it by the form:
//   progress bar 120,210 331x23; status text 20,240 281x31;
//   lamp 20,290; "Disconnected" 50,290; "Port:" 160,290; combo box 200,280;
//   button 400,280 112x32.
// The band from y = 196 down stays plain and dark so white text reads well.
QImage paintBackground()
{
    const int W = 524, H = 324;
    QImage img = newImage(W, H, false);
    QPainter p(&img);
    beginPainter(p);

    // Base: deep slate, a little lighter at the top.
    QLinearGradient base(0, 0, 0, H);
    base.setColorAt(0.0, QColor(0x1e, 0x27, 0x35));
    base.setColorAt(0.55, QColor(0x14, 0x1a, 0x23));
    base.setColorAt(1.0, QColor(0x0d, 0x11, 0x17));
    p.fillRect(img.rect(), base);

    // Soft blue glow behind the title and one behind the emblem.
    {
        QRadialGradient glow(QPointF(120, 60), 260);
        glow.setColorAt(0, QColor(0x2a, 0x6f, 0xc8, 60));
        glow.setColorAt(1, QColor(0x2a, 0x6f, 0xc8, 0));
        p.fillRect(img.rect(), glow);
        QRadialGradient glow2(QPointF(440, 92), 130);
        glow2.setColorAt(0, QColor(0x3a, 0x9c, 0xe8, 45));
        glow2.setColorAt(1, QColor(0x3a, 0x9c, 0xe8, 0));
        p.fillRect(img.rect(), glow2);
    }

    // Fine dot grid over the header, fading out towards the controls.
    for (int y = 12; y < 186; y += 12) {
        const qreal fade = 1.0 - qreal(y) / 186.0;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, int(16 * fade)));
        for (int x = 12; x < W; x += 12)
            p.drawEllipse(QPointF(x, y), 0.7, 0.7);
    }

    // Circuit traces in the upper right, leading to the emblem.
    {
        QRandomGenerator rng(0x4b5654); // fixed seed: same picture every run
        const QPointF chipCentre(440, 92);
        p.setBrush(Qt::NoBrush);
        for (int i = 0; i < 14; ++i) {
            const qreal startY = 18 + i * 11.5;
            const qreal startX = 270 + rng.bounded(40);
            const qreal kneeX = 330 + rng.bounded(36);
            const qreal endY = chipCentre.y() + (startY - chipCentre.y()) * 0.35;
            QPainterPath path;
            path.moveTo(startX, startY);
            path.lineTo(kneeX, startY);
            path.lineTo(kneeX + qAbs(startY - endY), endY);
            path.lineTo(chipCentre.x() - 40, endY);
            const int a = 22 + int(rng.bounded(18));
            p.setPen(QPen(QColor(0x6f, 0xa8, 0xe0, a), 1.0));
            p.drawPath(path);
            p.setPen(QPen(QColor(0x6f, 0xa8, 0xe0, a + 20), 1.0));
            p.setBrush(QColor(0x14, 0x1a, 0x23));
            p.drawEllipse(QPointF(startX, startY), 2.2, 2.2);
            p.setBrush(Qt::NoBrush);
        }
    }

    // Emblem.
    paintChip(p, QPointF(385, 37), 110, 0.95, true);

    // Product name.
    {
        const QFont title = font(34, true, -0.5);
        p.setFont(title);
        const QFontMetricsF fm(title);
        const QString kvt = QStringLiteral("KVT");
        const QString rest = QStringLiteral(" Firmware");
        const QPointF at(26, 82);
        // Shadow.
        p.setPen(QColor(0, 0, 0, 120));
        p.drawText(at + QPointF(0, 2), kvt + rest);
        p.setPen(kAccent);
        p.drawText(at, kvt);
        p.setPen(kInk);
        p.drawText(at + QPointF(fm.horizontalAdvance(kvt), 0), rest);

        // Accent rule and subtitle.
        QLinearGradient rule(26, 0, 300, 0);
        rule.setColorAt(0, QColor(kAccent.red(), kAccent.green(), kAccent.blue(), 200));
        rule.setColorAt(1, QColor(kAccent.red(), kAccent.green(), kAccent.blue(), 0));
        p.fillRect(QRectF(27, 96, 274, 2), rule);

        p.setFont(font(13, false, 0.3));
        p.setPen(kMuted);
        p.drawText(QPointF(27, 120), QStringLiteral("Serial firmware updater"));
        p.setFont(font(10, true, 1.6));
        p.setPen(QColor(0x6a, 0x7b, 0x90));
        p.drawText(QPointF(27, 140), QStringLiteral("YMODEM-1K  \u00b7  115200 BAUD"));
    }

    // Control panel: a calm, slightly darker band with a hairline on top.
    {
        const QRectF panel(8, 196, W - 16, H - 196 - 8);
        QLinearGradient pg(0, panel.top(), 0, panel.bottom());
        pg.setColorAt(0, QColor(0x0b, 0x0f, 0x14, 150));
        pg.setColorAt(1, QColor(0x08, 0x0b, 0x0f, 170));
        p.setPen(QPen(QColor(255, 255, 255, 22), 1.0));
        p.setBrush(pg);
        p.drawRoundedRect(panel.adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);

        QLinearGradient hl(panel.left(), 0, panel.right(), 0);
        hl.setColorAt(0.0, QColor(kAccent.red(), kAccent.green(), kAccent.blue(), 0));
        hl.setColorAt(0.5, QColor(kAccent.red(), kAccent.green(), kAccent.blue(), 90));
        hl.setColorAt(1.0, QColor(kAccent.red(), kAccent.green(), kAccent.blue(), 0));
        p.fillRect(QRectF(panel.left() + 20, panel.top(), panel.width() - 40, 1), hl);

        // Caption to the left of the progress bar (bar starts at x = 120).
        p.setFont(font(10, true, 1.4));
        p.setPen(QColor(0x7d, 0x8d, 0xa1));
        p.drawText(QRectF(20, 210, 92, 23), Qt::AlignVCenter | Qt::AlignLeft,
                   QStringLiteral("PROGRESS"));

        // Thin divider between the status line and the connection row.
        p.fillRect(QRectF(20, 275, 150, 1), QColor(255, 255, 255, 14));
    }

    p.end();
    return img;
}

// Logo strip 120 x 21: an emblem and the word mark "vorel".
QImage paintVorel()
{
    QImage img = newImage(120, 21, true);
    QPainter p(&img);
    beginPainter(p);

    // Emblem: a diamond holding a "V".
    QPainterPath diamond;
    diamond.moveTo(10.5, 0.8);
    diamond.lineTo(20.2, 10.5);
    diamond.lineTo(10.5, 20.2);
    diamond.lineTo(0.8, 10.5);
    diamond.closeSubpath();
    QLinearGradient g(0, 0, 0, 21);
    g.setColorAt(0, kAccent);
    g.setColorAt(1, kAccentDeep);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawPath(diamond);
    p.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath v;
    v.moveTo(6.5, 7.0);
    v.lineTo(10.5, 14.5);
    v.lineTo(14.5, 7.0);
    p.drawPath(v);

    // Word mark.
    p.setFont(font(16, true, 1.2));
    p.setPen(QColor(0xd6, 0xdd, 0xe6));
    p.drawText(QRectF(27, 0, 93, 21), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("vorel"));
    p.end();
    return img;
}

// Light grey bar 540 x 40. `variant` 0: title bar with rounded top corners;
// 1: flat thin-edged bar; 2: bar with side shading.
QImage paintWindowBar(int variant)
{
    QImage img = newImage(540, 40, true);
    QPainter p(&img);
    beginPainter(p);
    QLinearGradient g(0, 0, 0, 40);
    g.setColorAt(0, QColor(0xee, 0xf0, 0xf3));
    g.setColorAt(1, QColor(0xcf, 0xd4, 0xda));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    if (variant == 0) {
        QPainterPath path;
        path.addRoundedRect(QRectF(0, 0, 540, 48), 8, 8); // bottom corners cut off
        p.drawPath(path);
    } else {
        p.drawRect(QRectF(0, 0, 540, 40));
    }
    // Top highlight and bottom edge.
    p.fillRect(QRectF(variant == 0 ? 6 : 0, 0, variant == 0 ? 528 : 540, 1),
               QColor(255, 255, 255, 220));
    p.fillRect(QRectF(0, 39, 540, 1), QColor(0xa9, 0xb0, 0xb9));
    if (variant == 1)
        p.fillRect(QRectF(0, 0, 540, 1), QColor(0xb8, 0xbe, 0xc6));
    if (variant == 2) {
        QLinearGradient side(0, 0, 540, 0);
        side.setColorAt(0.0, QColor(0, 0, 0, 28));
        side.setColorAt(0.06, QColor(0, 0, 0, 0));
        side.setColorAt(0.94, QColor(0, 0, 0, 0));
        side.setColorAt(1.0, QColor(0, 0, 0, 28));
        p.fillRect(QRectF(0, 0, 540, 40), side);
    }
    p.end();
    return img;
}

} // namespace artwork
