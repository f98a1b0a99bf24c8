// kvt-station-screenshots DIR: draws the station's window, as the README
// shows it, into DIR/station.png: the real window and engine with simulated
// boards on pseudo-terminals, one flashing, one ok, one failed and one taken
// out; and a full fixture of 64 boards on a 1600x1000 screen, one failed,
// into DIR/station-64.png. scripts/station-screenshots.sh runs it under Xvfb.

#include "kvt-station/stationwindow.h"
#include "kvt-station/tilegrid.h"
#include "sim/boardfolder.h"
#include "ymodem/line.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>

#include <cstdio>

namespace {

// A folder of slots like /dev/serial/by-path, with boards plugged by symlink.
class Fixture : public sim::BoardFolder
{
public:
    Fixture() : BoardFolder(QStringLiteral("by-path")) {}
    QString writeImage(int size) const
    {
        QByteArray image(size, '\0');
        for (int i = 0; i < size; ++i)
            image[i] = char(i * 131 + i / 1024);
        image.replace(0, 4, QByteArray::fromHex("00400020"));
        const QString path = folder() + QStringLiteral("/sensor-fw-2.4.1.kvt");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != size)
            return {};
        return path;
    }
    QString record() const { return folder() + QStringLiteral("/line-3.jsonl"); }
};

QString slotName(int port)
{
    return QStringLiteral("pci-0000:00:14.0-usb-0:1.%1:1.0-port0").arg(port);
}

// Runs the event loop until `done` holds; false after `limitMs`.
template <typename Condition> bool waitFor(Condition done, int limitMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

int fail(const char *why)
{
    std::fprintf(stderr, "kvt-station-screenshots: %s\n", why);
    return 1;
}

} // namespace

station::StationConfig baseConfig(Fixture &fixture)
{
    station::StationConfig config;
    config.settleMs = 200;
    config.stationName = QStringLiteral("line-3");
    config.upload.retries = 3;
    config.upload.stopOnCancel = true;
    config.upload.timing.firstPause = 400;
    config.upload.timing.secondPause = 100;
    config.boot.pattern = QRegularExpression(QStringLiteral("SN=(?<board>[0-9A-F]+)"));
    config.identify = [&fixture](const QString &device) {
        return flash::UsbIdentity{"0403", "6001", fixture.serialOf(device)};
    };
    return config;
}

// The window on the fixture's folder, started with an image of `imageBytes`.
bool startWindow(station::StationWindow &window, Fixture &fixture, const QSize &size,
                 int imageBytes)
{
    window.resize(size);
    window.chooseFolder(fixture.slotFolder());
    window.chooseRecord(fixture.record());
    if (!window.chooseImage(fixture.writeImage(imageBytes)) || !window.startStation())
        return false;
    window.show();
    return true;
}

// 64 boards on four hubs of sixteen ports, at the line's real speed but
// one, which refuses the image.
int drawFullFixture(const QString &out)
{
    Fixture fixture;
    station::StationWindow window(baseConfig(fixture));
    if (!startWindow(window, fixture, QSize(1600, 1000), 64 * 1024))
        return fail("the full station did not start");
    const auto name = [](int board) {
        return QStringLiteral("pci-0000:00:14.0-usb-0:1.%1.%2:1.0-port0")
            .arg(board / 16 + 1)
            .arg(board % 16 + 1);
    };
    for (int board = 0; board < 64; ++board) {
        BootloaderSimOptions options;
        options.paceBaud = ymodem::line::BaudRate;
        options.bootLine = "APP 2.4.1 SN=4F2A" + QByteArray::number(board + 100);
        if (board == 37)
            options.cancelAtBlock = 3;
        fixture.plug(name(board), options, QStringLiteral("FT7A%1").arg(board, 4, 10, QChar('0')));
    }
    const bool drawn = waitFor([&] {
        const station::SlotTile *failed = window.grid()->tile(name(37));
        return window.station()->inFlight() == 63 && failed &&
               failed->view().tone == programs::Tone::Failed;
    });
    if (!drawn)
        return fail("the full fixture did not reach the states to show");
    QElapsedTimer transfer; // the others well into theirs
    transfer.start();
    waitFor([&] { return transfer.elapsed() > 2500; });
    if (!window.grab().save(out + QStringLiteral("/station-64.png")))
        return fail("cannot write the picture");
    std::printf("%s/station-64.png\n", qPrintable(out));
    return 0;
}

int main(int argc, char *argv[])
{
    // The window remembers its choices; these are not the operator's.
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
    QApplication app(argc, argv);
    if (argc != 2)
        return fail("usage: kvt-station-screenshots DIR");
    const QString out = QString::fromLocal8Bit(argv[1]);

    Fixture fixture;
    station::StationWindow window(baseConfig(fixture));
    if (!startWindow(window, fixture, QSize(1320, 390), 320 * 1024))
        return fail("the station did not start");

    const auto word = [&window](int port) {
        station::SlotTile *tile = window.grid()->tile(slotName(port));
        return tile ? tile->view().word.toUpper() : QString();
    };
    BootloaderSimOptions starts; // its new firmware says who it is
    starts.bootLine = "APP 2.4.1 SN=4F2A0017";
    starts.bootDelayMs = 300;
    // A board flashed and taken out, its slot empty again.
    fixture.plug(slotName(4), starts, QStringLiteral("FT6Z1Q0D"));
    if (!waitFor([&] { return word(4) == "OK"; }))
        return fail("the first board did not end");
    fixture.pull(slotName(4));
    BootloaderSimOptions cancels;
    cancels.cancelAtBlock = 90;
    BootloaderSimOptions paced; // at the line's real speed: a transfer to watch
    paced.paceBaud = ymodem::line::BaudRate;
    fixture.plug(slotName(1), starts, QStringLiteral("FT6Z1P8K"));
    fixture.plug(slotName(2), cancels, QStringLiteral("FT6Z1Q3A"));
    fixture.plug(slotName(3), paced, QStringLiteral("FT6Z1Q7C"));
    // The slot's label, then its board's: the code goes to that board.
    if (!waitFor([&] { return word(1) == "FLASHING"; }))
        return fail("the board in 1.1 did not start");
    window.station()->scan(QStringLiteral("1.1"));
    window.station()->scan(QStringLiteral("4F2A0017"));
    const bool drawn = waitFor([&] {
        const station::SlotTile *flashing = window.grid()->tile(slotName(3));
        return word(1) == "OK" && word(2) == "FAILED" && word(4) == "UNPLUGGED" && flashing &&
               flashing->view().speed.contains(QStringLiteral("KiB/s")) &&
               window.station()->slotStates().value(slotName(3)).progress.acknowledged > 120 * 1024;
    });
    if (!drawn)
        return fail("the boards did not reach the states to show");
    window.station()->scan(QStringLiteral("4F2A0018")); // waiting for the next board
    QCoreApplication::processEvents();
    if (!window.grab().save(out + QStringLiteral("/station.png")))
        return fail("cannot write the picture");
    std::printf("%s/station.png\n", qPrintable(out));
    return drawFullFixture(out);
}
