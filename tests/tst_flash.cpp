// kvt-flash against simulated bootloaders on real pseudo-terminals: the
// binary over the ports it is given, through QProcess, for what its user and
// the line see (exit status, JSON events, the bytes after the end); and its
// views of the station in-process, the log's lines and the terminal's
// picture, each from the same boards.
// The device's pauses and limits run at a fifth (--timing-scale 0.2): 1.2 s
// of lead-in and 1 s for each answer.

#include "common/exitstatus.h"
#include "fakeadapter.h"
#include "flash/serialports.h"
#include "kvt-flash/console.h"
#include "kvt-flash/terminalpicture.h"
#include "kvt-flash/terminalview.h"
#include "stationfixture.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

using namespace flash;
using namespace programs;

namespace {

using testdata::makeImage;

// kvt-flash at a fifth of its pauses, while this thread's loop keeps the
// simulated devices going; with `reader`, its standard output piped to that
// shell command. Its exit status, -1 if it did not end.
int runFlasher(stationtest::Program &flasher, const QStringList &arguments,
               const QString &reader = {})
{
    const QStringList scaled = QStringList{KVT_FLASH_BINARY, "--timing-scale", "0.2"} + arguments;
    if (reader.isEmpty())
        flasher.start(scaled.first(), scaled.mid(1));
    else // pipefail: the status is kvt-flash's, not the reader's
        flasher.start("bash",
                      QStringList{"-o", "pipefail", "-c", "\"$0\" \"$@\" | " + reader} + scaled);
    return flasher.end(0);
}

} // namespace

class TestFlash : public QObject
{
    Q_OBJECT

private slots:
    void flashDevices_data()
    {
        // Each port: a simulated device, "ok" or "cancel" (CAN CAN at block 3;
        // what a device's other faults do to an upload: tst_upload, the fuzz
        // target, tst_bootloadersim; a signal mid-transfer: tst_stationrecord's
        // endsOfAStation, on the same station engine), or "file"
        // (the firmware file), "null" (/dev/null), "link" (a symlink to the port
        // before it). `says` is in every failed result's message, or on standard
        // error when no port starts. Every run traces its frames (--verbose).
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("results");
        QTest::addColumn<QString>("says");

        using L = QStringList;
        const L ok{"ok"};
        const QByteArray image = makeImage(6145);
        QTest::newRow("CAN at block 3") << L{"cancel"} << image << 6 << L{"cancelled"}
                                        << "the device cancelled the transfer at block 3";
        QTest::newRow("two updated, a file and /dev/null")
            << L{"ok", "file", "ok", "null"} << image << 5
            << L{"ok", "open-failed", "ok", "open-failed"} << "not a serial port";
        QTest::newRow("one device under two names")
            << L{"ok", "link"} << image << 64 << L() << "are the same device";
        QTest::newRow("not an image") << ok << makeImage(2048, QByteArray::fromHex("12345678")) << 2
                                      << L() << "starts with 12 34 56 78, not 00 40 00 20";
    }
    void flashDevices()
    {
        QFETCH(QStringList, ports);
        QFETCH(QByteArray, image);
        QFETCH(int, status);
        QFETCH(QStringList, results);
        QFETCH(QString, says);

        const QString firmware = writeFirmware(QTest::currentDataTag(), image);
        const QMap<QString, QString> notDevices{
            {"file", firmware}, {"null", "/dev/null"}, {"link", scratch_.filePath("link")}};
        stationtest::Program flasher;
        FakeSysfs sysfs; // each device behind an adapter whose timer reads 1 ms
        QElapsedTimer clock;
        qint64 cancelledAt = -1, bytesAtCancel = -1;
        std::vector<std::unique_ptr<sim::Board>> devices;
        QStringList paths, arguments{"--json", "--verbose", firmware};
        for (const QString &kind : ports) {
            BootloaderSimOptions faults;
            faults.cancelAtBlock = kind == "cancel" ? 3 : 0;
            devices.push_back(notDevices.contains(kind) ? nullptr
                                                        : std::make_unique<sim::Board>(faults));
            BootloaderSim *sim = devices.back() ? &devices.back()->sim : nullptr;
            paths << (sim ? devices.back()->pty.slavePath() : notDevices.value(kind));
            arguments << "--port" << paths.last();
            QVERIFY(kind != "link" || QFile::link(paths.at(paths.size() - 2), paths.last()));
            if (!sim)
                continue;
            sysfs.addTty(QFileInfo(paths.last()).fileName(), {"0403", "6001", "", "1", "2"}, 1);
            QObject::connect(sim, &BootloaderSim::transferCancelled, [&, sim] {
                cancelledAt = clock.elapsed();
                bytesAtCancel = sim->counters().bytesRead;
            });
        }
        clock.start();
        const int exitStatus = runFlasher(flasher, arguments);
        const qint64 endedAt = clock.elapsed();
        const QByteArray out = flasher.output(), err = flasher.process.readAllStandardError();
        QVERIFY2(exitStatus == status, (out + err).constData());

        // --verbose dumps frames 32 bytes a row: "[   1.234] /dev/pts/3 > 0000  02 01 fe ...".
        for (const QByteArray &line : err.split('\n'))
            QVERIFY2(line.startsWith('{') || line.size() < 140, line.constData());
        if (results.isEmpty())
            QVERIFY2(out.isEmpty() && err.contains(says.toUtf8()), err.constData());
        for (const QByteArray &line : out.split('\n')) // --json: nothing but JSON objects
            QVERIFY2(line.isEmpty() || QJsonDocument::fromJson(line).isObject(), line.constData());
        const QString sha256 = testdata::sha256Of(image);
        for (int i = 0; i < results.size(); ++i) {
            const QVector<QJsonObject> ends = flasher.events("result", paths.at(i));
            QCOMPARE(ends.size(), 1);
            const QJsonObject result = ends.first(), expected{{"status", results.at(i)},
                                                              {"sha256", sha256},
                                                              {"bytes", image.size()},
                                                              {"file", firmware},
                                                              {"version", KVT_VERSION}};
            for (const QString &key : expected.keys())
                QVERIFY2(result.value(key) == expected.value(key), qPrintable(key + ": " + out));
            // Read once the port is open.
            QCOMPARE(result.value("latency_ms").toInt(-1), devices.at(i) ? 1 : -1);
            // Never 100 % before the device has taken the last block.
            int percent = 0;
            for (const QJsonObject &event : flasher.events("progress", paths.at(i))) {
                QVERIFY(event.value("percent").toInt() > percent);
                percent = event.value("percent").toInt();
                QVERIFY(percent < 100 || event.value("acknowledged").toInt() == image.size());
            }
            QCOMPARE(percent == 100, results.at(i) == "ok");
            if (results.at(i) == "ok")
                QVERIFY(devices.at(i)->sim.receivedImage() == image);
            else
                QVERIFY2(result.value("message").toString().contains(says), out.constData());
        }

        // After its end the line carries nothing more. The devices read what is
        // left first.
        QTest::qWait(100);
        for (const auto &device : devices)
            QVERIFY(!device || (device->sim.problems().isEmpty() &&
                                device->sim.counters().hostCancelled == 0));
        if (status == ExitCancelled) { // at the device's word, not at a limit
            QCOMPARE(devices.front()->sim.counters().bytesRead, bytesAtCancel);
            QVERIFY2(endedAt - cancelledAt < 1000,
                     qPrintable(QString::number(endedAt - cancelledAt)));
        }
    }
    // kvt-flash ... | true: the reader goes at once, the upload goes on.
    void closedOutputPipe()
    {
        sim::Board device({});
        const QByteArray content = makeImage(20 * 1024);
        stationtest::Program flasher;
        QCOMPARE(runFlasher(flasher,
                            {writeFirmware("closed", content), "-p", device.pty.slavePath()},
                            "true"),
                 int(ExitSuccess));
        QVERIFY(device.sim.receivedImage() == content);
    }
    // kvt-flash and the station ask for low latency as they open the port, put
    // the flags back as they close it, and read the adapter from sysfs (a fake
    // tree). The request is traced, never fatal (a pty's own refusal: flashDevices).
    void adapter_data()
    {
        QTest::addColumn<QStringList>("usb"); // vid, pid, serial, bus, address
        QTest::addColumn<int>("latencyMs");   // -1: no latency_timer
        QTest::addColumn<int>("flagsBefore");
        QTest::addColumn<int>("refuseSetWith");
        QTest::addColumn<int>("flagsWhileOpen");
        QTest::addColumn<QString>("says");
        const int other = ASYNC_SKIP_TEST | ASYNC_SPD_HI, low = ASYNC_LOW_LATENCY;
        const QStringList ftdi{"0403", "6001", "A10K", "3", "17"};
        const QString timer = "; the adapter's latency timer is 1 ms";
        QTest::newRow("FTDI, granted, the rest kept")
            << ftdi << 1 << other << 0 << (other | low) << "granted by the driver" + timer;
        QTest::newRow("FTDI, already set, left set")
            << ftdi << 1 << (other | low) << 0 << (other | low) << "already set" + timer;
        QTest::newRow("CP210x, refused")
            << QStringList{"10c4", "ea60", "0001", "1", "4"} << -1 << other << EPERM << other
            << "not offered by the driver (Operation not permitted); no latency timer known for "
               "this "
               "port";
    }
    void adapter()
    {
        QFETCH(QStringList, usb);
        QFETCH(int, latencyMs);
        QFETCH(int, flagsBefore);
        QFETCH(int, refuseSetWith);
        QFETCH(int, flagsWhileOpen);
        QFETCH(QString, says);
        PtyPair pty;
        FakeSysfs sysfs;
        sysfs.addTty(QFileInfo(pty.slavePath()).fileName(), usb, latencyMs);
        const UsbIdentity found = usbIdentity(pty.slavePath());
        QCOMPARE((QStringList{found.vid, found.pid, found.serial, QString::number(found.bus),
                              QString::number(found.address)}),
                 usb);
        const FakeSerialDriver driver(flagsBefore, refuseSetWith);
        PortFlasher flasher(pty.slavePath(), makeImage(3000));
        QSignalSpy log(&flasher, &PortFlasher::logLine);
        flasher.start();
        QCOMPARE(driver.flags(), flagsWhileOpen);
        QCOMPARE(log.value(0).value(0).toString(), "low latency: " + says);
        flasher.stop(); // before the bootloader runs: at once
        QCOMPARE(driver.flags(), flagsBefore);
        QCOMPARE(flasher.result().latencyMs, latencyMs);
    }
    // The statuses the devices of flashDevices() do not give.
    void exitStatusRule()
    {
        using O = FlashResult::Outcome;
        const auto statusOf = [](const QVector<O> &outcomes) { return exitStatusFor(outcomes); };
        QCOMPARE(statusOf({O::TimedOut, O::TimedOut}), 4);
        QCOMPARE(statusOf({O::Refused}), 7);
        QCOMPARE(statusOf({O::Stopped, O::Stopped}), 130);
        QCOMPARE(statusOf({O::OpenFailed, O::PortFailed, O::Unplugged}), 3); // port failures alike
    }
    // kvt-flash's views of the station: a line per event in the log; the
    // terminal's picture, the failed board first.
    void viewsOfOneStation()
    {
        stationtest::Fixture fixture;
        BootloaderSimOptions cancels;
        cancels.cancelAtBlock = 2;
        fixture.plug("usb-0:1.10", cancels);
        for (int i = 1; i <= 5; ++i)
            fixture.plug(QStringLiteral("usb-0:1.%1").arg(i));
        station::Station station(fixture.config(), makeImage(5000));
        QString logText, errText;
        QTextStream log(&logText), err(&errText);
        flash::Console logView(station, flash::Console::Mode::Log, log, err);
        QString why;
        QVERIFY2(station.start(&why), qPrintable(why));
        logView.started();
        QTRY_COMPARE_WITH_TIMEOUT(station.counts().ok + station.counts().failed, 6, 20000);

        // The log: a line per event; a failed board's says what to do, the
        // failure is also on the error stream.
        QVERIFY2(logText.contains("usb-0:1.3: plugged: "), qPrintable(logText));
        QCOMPARE(logText.count(" ok after "), 5);
        QVERIFY2(logText.contains(QRegularExpression(
                     "usb-0:1.10: failed after [0-9.]+ m?s: the device cancelled .*\\(.*\\)")),
                 qPrintable(logText));
        QVERIFY(errText.contains("kvt-flash: usb-0:1.10: the device cancelled"));
        // The JSON events of the same boards: flashDevices and tst_stationrecord,
        // from the program.

        // The terminal: the header, then the failed board first, its next step on
        // a line of its own and never cut; as many as the rows hold; the state
        // words coloured where there is colour.
        QString screen;
        QTextStream terminalOut(&screen);
        flash::ScreenSize size{60, 8, false};
        flash::TerminalView terminal(station, terminalOut, [&size] { return size; });
        QStringList lines = terminal.lines();
        QCOMPARE(lines.size(), 8);
        QVERIFY2(lines[0].contains("ok 5 · failed 1"), qPrintable(lines[0]));
        QVERIFY2(lines[2].startsWith("1.10 FAILED       the device cancelled"),
                 qPrintable(lines[2]));
        QCOMPARE(lines[3].trimmed(),
                 QStringLiteral("→ set the board aside, or plug it again once"));
        QCOMPARE(lines.last(), QStringLiteral("+2 more"));
        for (const QString &line : lines)
            QVERIFY2(line.size() < size.columns, qPrintable(line));
        size = {30, 0, true}; // narrow, with colour: the next step wraps, never cut
        lines = terminal.lines();
        QVERIFY2(lines[2].contains("\x1b[1;31mFAILED\x1b[0m"), qPrintable(lines[2]));
        QCOMPARE(lines.mid(3, 2).join(' ').simplified(),
                 QStringLiteral("→ set the board aside, or plug it again once"));
        QCOMPARE(lines.size(), 2 + 6 + 2);
    }

private:
    QString writeFirmware(const QString &name, const QByteArray &image)
    {
        const QString path = scratch_.filePath(QString(name).replace('/', '-'));
        return testdata::writeFile(path, image) ? path : QString();
    }

    QTemporaryDir scratch_;
};

QTEST_GUILESS_MAIN(TestFlash)

#include "tst_flash.moc"
