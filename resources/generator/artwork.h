#pragma once

// Shared parts of kvt-artwork: the palette, the font, the canvas helpers, the
// painters of every picture and the writers of the PNG and ICO files.
//
// Every picture is drawn with QPainter on a QImage. The output is
// deterministic for a given Qt, zlib and font version: no clock, no global
// random generator.

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPointF>
#include <QString>

#include <functional>

class QPainter;

namespace artwork {

// Text uses "DejaVu Sans" (Debian package fonts-dejavu-core).
inline const char *const kFontFamily = "DejaVu Sans";

// Palette shared by the pictures.
inline const QColor kAccent(0x4f, 0xb3, 0xff);     // light blue of "KVT" and the arrow
inline const QColor kAccentDeep(0x1f, 0x6f, 0xc8); // deeper blue for glows
inline const QColor kInk(0xe8, 0xee, 0xf5);        // near-white for glyphs
inline const QColor kMuted(0x8a, 0x9b, 0xb0);      // grey-blue for secondary text

// painting.cpp: canvas and text helpers.
QFont font(int pixelSize, bool bold, qreal letterSpacing = 0);
QImage newImage(int w, int h, bool alpha);
void beginPainter(QPainter &p);

// emblem.cpp: the product's emblem and the application icon built on it.
void paintChip(QPainter &p, QPointF origin, qreal s, qreal alpha, bool detail);
QImage paintIcon(int size);

// backdrop.cpp: the window's background, the grey bars and the logo strip.
QImage paintBackground();
QImage paintWindowBar(int variant);
QImage paintVorel();

// controls.cpp: faces of the button, the lamps and the square buttons.
QImage paintButton();
QImage paintLamp(const QColor &light, const QColor &mid, const QColor &dark);
QImage paintSquareButton(bool cross);

// files.cpp: encoding and writing.
bool writeFile(const QString &path, const QByteArray &bytes);
bool savePng(const QString &dir, const QString &name, const QImage &image);
// A Windows icon: 16, 24, 32 and 48 px as 32-bit DIBs, 256 px as a PNG.
QByteArray icoFile(const std::function<QImage(int size)> &paintAtSize);

} // namespace artwork
