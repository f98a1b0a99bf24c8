// The production station's engine in-process, against simulated boards:
// which entries are boards, what udev's ways with links and folders do to
// them, and the counts.

#include "station/slotwatcher.h"
#include "stationfixture.h"

#include <QSerialPort>

#include <cstdio>

using namespace station;
using namespace stationtest;

namespace {

const QByteArray Image = makeImage(5000);

enum class LinkEvent
{
    SameTarget,     // udev's change event: a new link to the same device
    NewPlug,        // the same tty again, but a new USB device number
    OtherTarget,    // the entry now leads to another device
    RemovedAndMade, // pulled and plugged again
};

} // namespace

Q_DECLARE_METATYPE(LinkEvent)

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void boardsOncePerPlug()
    {
        Fixture fixture;
        const QStringList names{"usb-0:1.1", "usb-0:1.2", "usb-0:1.3"};
        fixture.plug(names[0]); // present before the station starts
        StationConfig config = fixture.config();
        config.labels.insert(names[0], "C1"); // the fixture's name for it
        Station station(config, Image);
        QSignalSpy finished(&station, &Station::boardFinished);
        QString why;
        QVERIFY2(station.start(&why), qPrintable(why));
        fixture.plug(names[1]);
        fixture.plug(names[2]);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, 20000);
        // A second entry of one device is not a second board.
        QFile::link(fixture.board(names[0]).pty.slavePath(), fixture.slotPath("usb-0:1.9"));
        QTest::qWait(300); // a board left plugged is not flashed again
        QCOMPARE(finished.size(), 3);
        for (const QString &slot : names) {
            QCOMPARE(fixture.board(slot).sim.receivedImage(), Image);
            QCOMPARE(fixture.board(slot).sim.counters().sessions, 1);
            const QJsonObject record = recordsOf(fixture.record(), slot).value(0);
            // The record's image fields: tst_flash, from the same record.
            QCOMPARE(record.value("status").toString(), QStringLiteral("ok"));
            QCOMPARE(record.value("port").toString(),
                     QFileInfo(fixture.slotPath(slot)).canonicalFilePath());
            QCOMPARE(record.value("label").toString(), slot == names[0] ? "C1" : "");
        }
        QCOMPARE(station.slotStates().value(names[0]).label, QStringLiteral("C1"));
        // A second entry is shown with its reason, never recorded or counted.
        const Slot twin = station.slotStates().value("usb-0:1.9");
        QCOMPARE(twin.waiting, Slot::Waiting::Twin);
        QCOMPARE(twin.skipped, QStringLiteral("same device as slot usb-0:1.1"));
        QCOMPARE(recordsOf(fixture.record()).size(), 3);
        QCOMPARE(station.counts().ok, 3);
        QCOMPARE(station.counts().boards(), 3);
    }
    // Entries that lead to no board, each told once as waiting with its kind,
    // never opened, recorded or counted, and gone like any entry; only the
    // matching adapter's board beside them is flashed. What is said of each
    // kind: tst_boardview, from the functions the station calls.
    void whatIsNoBoard()
    {
        Fixture fixture;
        const QString ftdi = fixture.plug("ftdi").pty.slavePath();
        const QString held = fixture.plug("held", 0, false).pty.slavePath();
        // Locked as every Qt program locks a port: by opening it.
        QSerialPort holder(held);
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
        QVERIFY(QFile::link(held, fixture.slotPath("held")));
        // Its adapter pulled before udev took the link away.
        const QString gone = fixture.slotPath("gone");
        QVERIFY(QFile::link(fixture.folder() + "/ttyUSB9", gone));
        const QHash<QString, flash::UsbIdentity> adapters{
            {ftdi, {"0403", "6001", "FT1"}},
            {held, {"0403", "6001", "FT2"}},
            {fixture.plug("ch340").pty.slavePath(), {"1a86", "7523", "CH1"}}};
        fixture.plug("unknown");
        StationConfig config = fixture.config();
        config.matches = QStringList{"0403:6001"};
        config.identify = [adapters](const QString &device) { return adapters.value(device); };
        Station station(config, Image);
        QSignalSpy finished(&station, &Station::boardFinished);
        QSignalSpy skipped(&station, &Station::boardWaiting);
        QString why;
        QVERIFY2(station.start(&why), qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
        QTest::qWait(200);
        QCOMPARE(skipped.size(), 4);
        const QVector<QJsonObject> records = recordsOf(fixture.record());
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].value("slot").toString(), QStringLiteral("ftdi"));
        QCOMPARE(records[0].value("usb").toObject().value("serial").toString(),
                 QStringLiteral("FT1"));
        QCOMPARE(station.counts().boards(), 1);
        const QMap<QString, Slot> states = station.slotStates();
        QCOMPARE(states.value("held").waiting, Slot::Waiting::InUse);
        QCOMPARE(states.value("gone").waiting, Slot::Waiting::NotSerial);
        QCOMPARE(states.value("ch340").waiting, Slot::Waiting::WrongAdapter);
        QVERIFY(states.value("ch340").skipped.contains("1a86:7523"));
        QVERIFY(states.value("unknown").skipped.contains("unknown"));
        QVERIFY(std::remove(QFile::encodeName(gone).constData()) == 0);
        QTRY_COMPARE(station.slotStates().value("gone").state, Slot::State::Empty);
    }
    void linkEvents_data()
    {
        QTest::addColumn<LinkEvent>("event");
        QTest::addColumn<bool>("midFlash");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<int>("sessions"); // of the first board

        const QStringList once{"ok"};
        QTest::newRow("same device, link replaced mid-flash")
            << LinkEvent::SameTarget << true << once << 1;
        QTest::newRow("same device, link replaced when idle")
            << LinkEvent::SameTarget << false << once << 1;
        QTest::newRow("same tty, new plug")
            << LinkEvent::NewPlug << false << QStringList{"ok", "ok"} << 2;
        QTest::newRow("another device mid-flash")
            << LinkEvent::OtherTarget << true << QStringList{"unplugged", "ok"} << 1;
        QTest::newRow("removed and made again")
            << LinkEvent::RemovedAndMade << false << QStringList{"ok", "ok"} << 2;
    }
    void linkEvents()
    {
        QFETCH(LinkEvent, event);
        QFETCH(bool, midFlash);
        QFETCH(QStringList, statuses);
        QFETCH(int, sessions);
        Fixture fixture;
        Board &board = fixture.plug("a", midFlash ? 60 : 0);
        Board &other = fixture.plug("other", 0, false);
        // The USB device number, as sysfs would tell it, changes at every plug.
        auto plugNumber = std::make_shared<int>(1);
        StationConfig config = fixture.config();
        config.identify = [plugNumber](const QString &) {
            flash::UsbIdentity usb{"0403", "6001", "FT1"};
            usb.bus = 1;
            usb.address = *plugNumber;
            return usb;
        };
        Station station(config, makeImage(midFlash ? 20 * 1024 : 5000));
        QSignalSpy finished(&station, &Station::boardFinished);
        QString why;
        QVERIFY2(station.start(&why), qPrintable(why));
        if (midFlash)
            QTRY_VERIFY_WITH_TIMEOUT(board.sim.counters().dataBlocks >= 2, 10000);
        else
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);

        const QString target = board.pty.slavePath();
        switch (event) {
        case LinkEvent::SameTarget:
            QVERIFY(fixture.relink("a", target));
            break;
        case LinkEvent::NewPlug:
            ++*plugNumber;
            QVERIFY(fixture.relink("a", target));
            break;
        case LinkEvent::OtherTarget:
            QVERIFY(fixture.relink("a", other.pty.slavePath()));
            break;
        case LinkEvent::RemovedAndMade:
            fixture.pull("a");
            QTRY_COMPARE(station.slotStates().value("a").state, Slot::State::Empty);
            QFile::link(target, fixture.slotPath("a"));
            break;
        }
        QTRY_COMPARE_WITH_TIMEOUT(statusesOf(fixture.record()).size(), statuses.size(), 30000);
        QTest::qWait(300); // nothing more comes
        QCOMPARE(statusesOf(fixture.record()), statuses);
        QCOMPARE(board.sim.counters().sessions, sessions);
    }
    // The summary: ok / (ok + failed) in percent, -1 before the first; stopped
    // boards are no failures; boards an hour (0 under a minute).
    void counts()
    {
        const struct
        {
            StationCounts counts;
            double yield;
            double perHour;
        } rows[] = {
            {{0, 0, 0, 0, 0}, -1, 0},          {{0, 0, 2, 1, 0}, -1, 0},
            {{3, 1, 0, 0, 30000}, 75, 0},      {{3, 1, 4, 2, 30000}, 75, 0},
            {{45, 5, 0, 0, 1800000}, 90, 100}, {{40, 5, 3, 2, 1800000}, 40 * 100.0 / 45, 100}};
        for (const auto &row : rows) {
            QCOMPARE(row.counts.yieldPercent(), row.yield);
            QCOMPARE(row.counts.boardsPerHour(), row.perHour);
        }
    }
    // Two boards in flight: changes come once per pass; the second Ctrl-C
    // abandons them, and both are recorded at once (the second handed to the
    // writer while it writes the first), the device in its bootloader still sent
    // CAN CAN.
    void boardsInFlight()
    {
        Fixture fixture;
        Board &a = fixture.plug("a", 60);
        fixture.plug("b", 60);
        Station station(fixture.config(), makeImage(20 * 1024));
        QSignalSpy changes(&station, &Station::changed);
        QString why;
        QVERIFY2(station.start(&why), qPrintable(why));
        QTRY_COMPARE_WITH_TIMEOUT(station.inFlight(), 2, 5000);
        // Two slots changed twice in one pass: one notification names both, and
        // none comes from inside the station's own call.
        const int before = changes.size();
        station.stampElapsed();
        station.stampElapsed();
        QCOMPARE(changes.size(), before);
        QTRY_VERIFY(changes.size() > before);
        QCOMPARE(changes.at(before).at(0).toStringList(), (QStringList{"a", "b"}));
        QTRY_VERIFY_WITH_TIMEOUT(a.sim.counters().dataBlocks >= 2, 10000);
        station.abandon();
        QCOMPARE(station.inFlight(), 0);
        const QJsonObject record = recordsOf(fixture.record(), "a").value(0);
        QCOMPARE(record.value("status").toString(), QStringLiteral("stopped"));
        // The record tells the device may not have finished with the image.
        QCOMPARE(record.value("message").toString(),
                 QStringLiteral("stopped before the device confirmed"));
        QCOMPARE(recordsOf(fixture.record(), "b").size(), 1);
        QTRY_COMPARE(a.sim.phase(), BootloaderSim::Phase::Cancelled);
    }
    // The one progress every view reads: percent as the window rounds it but never
    // 100 before the last block is acknowledged; the speed over the data blocks
    // alone, none over too short a time.
    void progressOfABoard()
    {
        const struct
        {
            qint64 total, acknowledged, elapsedMs, dataStartMs;
            int percent;
            double rate;
            qint64 msLeft;
        } rows[] = {{1000, 995, 9000, 6000, 99, 995 / 3.0, 15},
                    {1000, 1000, 9000, 6000, 100, 1000 / 3.0, 0},
                    {40960, 20480, 8000, 6000, 50, 10240, 2000},
                    {40960, 0, 5000, -1, 0, 0, -1},
                    {40960, 1024, 6100, 6000, 3, 0, -1}};
        for (const auto &row : rows) {
            flash::UploadProgress progress;
            progress.total = row.total;
            progress.acknowledged = row.acknowledged;
            progress.elapsedMs = row.elapsedMs;
            progress.dataStartMs = row.dataStartMs;
            QCOMPARE(progress.percent(), row.percent);
            QCOMPARE(progress.bytesPerSecond(), row.rate);
            QCOMPARE(progress.msLeft(), row.msLeft);
        }
    }
};

QTEST_MAIN(TestStation)
#include "tst_station.moc"
