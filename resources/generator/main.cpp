// kvt-artwork: paints the window's pictures and the Windows icon.
//
// Every picture is drawn with QPainter on a QImage, so the artwork is ours and
// can be regenerated at any time. Output:
//   <images dir>/  the eleven PNG files of the resource tree
//   <windows dir>/kvt-firmware-updater.ico  (16/24/32/48 px 32-bit DIB, 256 px PNG)
// Both directories default to the source tree (see resources/CMakeLists.txt);
// they can be given on the command line: kvt-artwork [IMAGES_DIR [WINDOWS_DIR]].
//
// The painters live beside this file: emblem.cpp (emblem and icon),
// backdrop.cpp (background, bars, logo), controls.cpp (button, lamps, square
// buttons); files.cpp writes PNG and ICO.

#include "artwork.h"

#include <QDir>
#include <QFontInfo>
#include <QGuiApplication>
#include <QStringList>

#include <cstdio>

#ifndef KVT_ARTWORK_IMAGES_DIR
#define KVT_ARTWORK_IMAGES_DIR "images/resources"
#endif
#ifndef KVT_ARTWORK_WINDOWS_DIR
#define KVT_ARTWORK_WINDOWS_DIR "windows"
#endif

using namespace artwork;

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
    ok &= writeFile(windowsDir + QStringLiteral("/kvt-firmware-updater.ico"), icoFile(paintIcon));
    return ok ? 0 : 1;
}
