// Encoding and writing: PNG files and the Windows icon container.

#include "artwork.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QVector>

#include <cstdio>

namespace artwork {
namespace {

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

} // namespace

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

QByteArray icoFile(const std::function<QImage(int size)> &paintAtSize)
{
    struct Entry
    {
        int size;
        QByteArray data;
    };
    QVector<Entry> entries;
    for (int s : {16, 24, 32, 48})
        entries.append({s, dibEntry(paintAtSize(s))});
    entries.append({256, pngBytes(paintAtSize(256).convertToFormat(QImage::Format_ARGB32))});

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

} // namespace artwork
