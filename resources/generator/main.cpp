// kvt-artwork: paints the window's pictures and the Windows icon.
//
// Every picture is drawn with QPainter on a QImage, so the artwork is ours and
// can be regenerated at any time. Output:
//   <images dir>/  the eleven PNG files of the resource tree
//   <windows dir>/kvt-firmware-updater.ico  (16/24/32/48 px 32-bit DIB, 256 px PNG)
// Both directories default to the source tree (see resources/CMakeLists.txt);
// they can be given on the command line: kvt-artwork [IMAGES_DIR [WINDOWS_DIR]].
//
// Text uses "DejaVu Sans" (Debian package fonts-dejavu-core). The output is
// deterministic for a given Qt, zlib and font version: no clock, no global
// random generator.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QString>
#include <QTextStream>
#include <QVector>

#include <cstdio>
#include <functional>

#ifndef KVT_ARTWORK_IMAGES_DIR
#define KVT_ARTWORK_IMAGES_DIR "images/resources"
#endif
#ifndef KVT_ARTWORK_WINDOWS_DIR
#define KVT_ARTWORK_WINDOWS_DIR "windows"
#endif

namespace {

const char *const kFontFamily = "DejaVu Sans";

// Palette shared by the pictures.
const QColor kAccent(0x4f, 0xb3, 0xff);     // light blue of "KVT" and the arrow
const QColor kAccentDeep(0x1f, 0x6f, 0xc8); // deeper blue for glows
const QColor kInk(0xe8, 0xee, 0xf5);        // near-white for glyphs
const QColor kMuted(0x8a, 0x9b, 0xb0);      // grey-blue for secondary text

QFont font(int pixelSize, bool bold, qreal letterSpacing = 0)
{
    QFont f(QString::fromLatin1(kFontFamily));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    f.setHintingPreference(QFont::PreferNoHinting);
    if (letterSpacing != 0)
        f.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    return f;
}

QImage newImage(int w, int h, bool alpha)
{
    QImage img(w, h, alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    img.fill(alpha ? Qt::transparent : Qt::black);
    return img;
}

void beginPainter(QPainter &p)
{
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
}

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------
// Output.

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return QByteArray();
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "kvt-artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("  %s (%d bytes)\n", qPrintable(path), int(bytes.size()));
    return true;
}

bool savePng(const QString &dir, const QString &name, const QImage &image)
{
    // RGB32 is written as PNG colour type 2, ARGB32 as colour type 6.
    const QImage out = image.hasAlphaChannel() ? image.convertToFormat(QImage::Format_ARGB32)
                                               : image.convertToFormat(QImage::Format_RGB32);
    const QByteArray bytes = pngBytes(out);
    if (bytes.isEmpty()) {
        std::fprintf(stderr, "kvt-artwork: cannot encode %s\n", qPrintable(name));
        return false;
    }
    return writeFile(dir + QLatin1Char('/') + name, bytes);
}

void putU16(QByteArray &b, quint16 v)
{
    b.append(char(v & 0xff));
    b.append(char(v >> 8));
}

void putU32(QByteArray &b, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xff));
}

// One ICO entry as a 32-bit DIB: BITMAPINFOHEADER (height doubled), BGRA rows
// bottom-up, then the 1-bit AND mask (set where fully transparent).
QByteArray dibEntry(const QImage &icon)
{
    const QImage img = icon.convertToFormat(QImage::Format_ARGB32);
    const int w = img.width(), h = img.height();
    const int maskStride = ((w + 31) / 32) * 4;
    QByteArray b;
    putU32(b, 40);
    putU32(b, quint32(w));
    putU32(b, quint32(2 * h));
    putU16(b, 1);  // planes
    putU16(b, 32); // bit count
    putU32(b, 0);  // BI_RGB
    putU32(b, quint32(w * h * 4 + maskStride * h));
    putU32(b, 0);
    putU32(b, 0);
    putU32(b, 0);
    putU32(b, 0);
    for (int y = h - 1; y >= 0; --y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            b.append(char(qBlue(line[x])));
            b.append(char(qGreen(line[x])));
            b.append(char(qRed(line[x])));
            b.append(char(qAlpha(line[x])));
        }
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(maskStride, '\0');
        const QRgb *line = reinterpret_cast<const QRgb *>(img.constScanLine(y));
        for (int x = 0; x < w; ++x)
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        b.append(row);
    }
    return b;
}

QByteArray icoFile()
{
    struct Entry
    {
        int size;
        QByteArray data;
    };
    QVector<Entry> entries;
    for (int s : {16, 24, 32, 48})
        entries.append({s, dibEntry(paintIcon(s))});
    entries.append({256, pngBytes(paintIcon(256).convertToFormat(QImage::Format_ARGB32))});

    QByteArray b;
    putU16(b, 0); // reserved
    putU16(b, 1); // type: icon
    putU16(b, quint16(entries.size()));
    quint32 offset = quint32(6 + 16 * entries.size());
    for (const Entry &e : entries) {
        b.append(char(e.size >= 256 ? 0 : e.size)); // width (0 = 256)
        b.append(char(e.size >= 256 ? 0 : e.size)); // height
        b.append(char(0));                          // colour count
        b.append(char(0));                          // reserved
        putU16(b, 1);                               // planes
        putU16(b, 32);                              // bit count
        putU32(b, quint32(e.data.size()));
        putU32(b, offset);
        offset += quint32(e.data.size());
    }
    for (const Entry &e : entries)
        b.append(e.data);
    return b;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QStringList args = app.arguments();
    const QString imagesDir =
        args.size() > 1 ? args.at(1) : QString::fromUtf8(KVT_ARTWORK_IMAGES_DIR);
    const QString windowsDir =
        args.size() > 2 ? args.at(2) : QString::fromUtf8(KVT_ARTWORK_WINDOWS_DIR);

    const QFontInfo info(font(12, false));
    if (info.family() != QLatin1String(kFontFamily))
        std::fprintf(stderr,
                     "kvt-artwork: warning: font \"%s\" not found, using \"%s\" "
                     "(install fonts-dejavu-core)\n",
                     kFontFamily, qPrintable(info.family()));

    if (!QDir().mkpath(imagesDir) || !QDir().mkpath(windowsDir)) {
        std::fprintf(stderr, "kvt-artwork: cannot create the output folders\n");
        return 1;
    }

    std::printf("kvt-artwork: writing pictures\n");
    bool ok = true;
    ok &= savePng(imagesDir, QStringLiteral("kvt_update(524x324).png"), paintBackground());
    ok &= savePng(imagesDir, QStringLiteral("kvt_update_icon(256x256).png"), paintIcon(256));
    ok &= savePng(imagesDir, QStringLiteral("button(112x32).png"), paintButton());
    ok &= savePng(
        imagesDir, QStringLiteral("light_r(24x24).png"),
        paintLamp(QColor(0xff, 0xb0, 0xa0), QColor(0xf0, 0x24, 0x1a), QColor(0x6e, 0x05, 0x05)));
    ok &= savePng(
        imagesDir, QStringLiteral("light_g(24x24).png"),
        paintLamp(QColor(0xc8, 0xff, 0xb8), QColor(0x2e, 0xd0, 0x3c), QColor(0x06, 0x55, 0x14)));
    ok &= savePng(imagesDir, QStringLiteral("Close(32x32).png"), paintSquareButton(false));
    ok &= savePng(imagesDir, QStringLiteral("End(32x32).png"), paintSquareButton(true));
    ok &= savePng(imagesDir, QStringLiteral("vorel(120x21).png"), paintVorel());
    // The numbers in two of these names do not match the pictures: all three
    // window bars are 540 x 40.
    ok &= savePng(imagesDir, QStringLiteral("window(540x40).png"), paintWindowBar(0));
    ok &= savePng(imagesDir, QStringLiteral("window(540x8).png"), paintWindowBar(1));
    ok &= savePng(imagesDir, QStringLiteral("window(8x360).png"), paintWindowBar(2));
    ok &= writeFile(windowsDir + QStringLiteral("/kvt-firmware-updater.ico"), icoFile());
    return ok ? 0 : 1;
}
