// The production station's engine in-process, against simulated boards:
// which entries are boards, what udev's ways with links and folders do to
// them, and the counts.

#include "fakeadapter.h"
#include "station/slotwatcher.h"
#include "stationfixture.h"

#include <QSerialPort>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace station;
using namespace stationtest;

namespace {

const QByteArray Image = makeImage(5000);

enum class LinkEvent
{
    SameTarget,     // udev's change event: a new link to the same device
    Touched,        // the link's times change
    NewPlug,        // the same tty again, but a new USB device number
    OtherTarget,    // the entry now leads to another device
    RemovedAndMade, // pulled and plugged again
};

// Entries in the watched folder that lead to no board. What is said of
// each kind of entry that is no serial port: tst_boardview, from the same
// function.
enum class NoBoard
{
    LinkToNothing, // said of the entry, not of where it leads
    HeldByAnother, // a board's terminal that a program holds open
};

} // namespace

Q_DECLARE_METATYPE(LinkEvent)
Q_DECLARE_METATYPE(NoBoard)

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void boardsOncePerPlug();
    void whatIsNoBoard_data();
    void whatIsNoBoard();
    void linkEvents_data();
    void linkEvents();
    void onlyMatchingAdapters();
    void counts();
    void changesComeOncePerPass();
    void progressOfABoard();
};

void TestStation::boardsOncePerPlug()
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

void TestStation::whatIsNoBoard_data()
{
    QTest::addColumn<NoBoard>("entry");
    QTest::addColumn<QString>("why"); // %1: where the entry leads, or who holds it
    QTest::newRow("link to nothing") << NoBoard::LinkToNothing << "a link to nothing (%1)";
    QTest::newRow("held by another program")
        << NoBoard::HeldByAnother
        << "in use by another program (process %1, tst_station, owner %2)";
}

// Shown with its reason, never opened, recorded or counted, and gone like
// any entry; the board beside it is flashed.
void TestStation::whatIsNoBoard()
{
    QFETCH(NoBoard, entry);
    QFETCH(QString, why);
    Fixture fixture;
    fixture.plug("board");
    const QString path = fixture.slotPath("odd");
    QSerialPort holder;
    QString target;
    switch (entry) {
    case NoBoard::LinkToNothing: // its adapter pulled before udev took the link away
        target = fixture.folder() + "/ttyUSB9";
        QVERIFY(QFile::link(target, path));
        why = why.arg(target);
        break;
    case NoBoard::HeldByAnother: // locked as every Qt program locks a port: by opening it
        target = fixture.plug("odd", 0, false).pty.slavePath();
        holder.setPortName(target);
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
        QVERIFY(QFile::link(target, path));
        why = why.arg(::getpid()).arg(QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name));
        break;
    }
    Station station(fixture.config(), Image);
    QSignalSpy finished(&station, &Station::boardFinished);
    QSignalSpy skipped(&station, &Station::boardWaiting);
    QString error;
    QVERIFY2(station.start(&error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QTRY_COMPARE(skipped.size(), 1);
    const Slot odd = skipped.first().first().value<Slot>();
    QCOMPARE(odd.name, QStringLiteral("odd"));
    QCOMPARE(odd.skipped, why);
    QCOMPARE(odd.waiting,
             entry == NoBoard::HeldByAnother ? Slot::Waiting::InUse : Slot::Waiting::NotSerial);
    QCOMPARE(statusesOf(fixture.record()), QStringList{"ok"});
    QCOMPARE(station.counts().boards(), 1);
    QVERIFY(std::remove(QFile::encodeName(path).constData()) == 0);
    QTRY_COMPARE(station.slotStates().value("odd").state, Slot::State::Empty);
}

void TestStation::linkEvents_data()
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
    QTest::newRow("link touched when idle") << LinkEvent::Touched << false << once << 1;
    QTest::newRow("same tty, new plug")
        << LinkEvent::NewPlug << false << QStringList{"ok", "ok"} << 2;
    QTest::newRow("another device mid-flash")
        << LinkEvent::OtherTarget << true << QStringList{"unplugged", "ok"} << 1;
    QTest::newRow("removed and made again")
        << LinkEvent::RemovedAndMade << false << QStringList{"ok", "ok"} << 2;
}

void TestStation::linkEvents()
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
        fixture.relink("a", target);
        break;
    case LinkEvent::Touched:
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(fixture.slotPath("a")).constData(), nullptr,
                            AT_SYMLINK_NOFOLLOW) == 0);
        break;
    case LinkEvent::NewPlug:
        ++*plugNumber;
        fixture.relink("a", target);
        break;
    case LinkEvent::OtherTarget:
        fixture.relink("a", other.pty.slavePath());
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
    QVERIFY(!station.slotStates().contains(".#ax1")); // udev's temporary name is no slot
}

void TestStation::onlyMatchingAdapters()
{
    Fixture fixture;
    StationConfig config = fixture.config();
    config.matches = QStringList{"0403:6001"};
    const QString ftdi = fixture.plug("ftdi").pty.slavePath();
    const QHash<QString, flash::UsbIdentity> adapters{
        {ftdi, {"0403", "6001", "FT1"}},
        {fixture.plug("ch340").pty.slavePath(), {"1a86", "7523", "CH1"}}};
    fixture.plug("unknown");
    FakeSysfs sysfs; // the FTDI adapter's timer, as the flasher reads it after opening
    sysfs.addTty(QFileInfo(ftdi).fileName(), {"0403", "6001", "", "1", "2"}, 1);
    config.identify = [adapters](const QString &device) { return adapters.value(device); };
    Station station(config, Image);
    QSignalSpy finished(&station, &Station::boardFinished);
    QString why;
    QVERIFY2(station.start(&why), qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QTest::qWait(200);
    QCOMPARE(finished.size(), 1);
    const QJsonObject record = recordsOf(fixture.record()).first();
    QCOMPARE(record.value("slot").toString(), QStringLiteral("ftdi"));
    QCOMPARE(record.value("usb").toObject().value("serial").toString(), QStringLiteral("FT1"));
    QCOMPARE(record.value("latency_ms").toInt(), 1);
    QCOMPARE(station.slotStates().value("ch340").waiting, Slot::Waiting::WrongAdapter);
    QVERIFY(station.slotStates().value("ch340").skipped.contains("1a86:7523"));
    QVERIFY(station.slotStates().value("unknown").skipped.contains("unknown"));
}

// The summary: ok / (ok + failed) in percent, -1 before the first; stopped
// boards are no failures; boards an hour (0 under a minute).
void TestStation::counts()
{
    const struct
    {
        StationCounts counts;
        double yield;
        double perHour;
    } rows[] = {{{0, 0, 0, 0, 0}, -1, 0},          {{0, 0, 2, 1, 0}, -1, 0},
                {{3, 1, 0, 0, 30000}, 75, 0},      {{3, 1, 4, 2, 30000}, 75, 0},
                {{45, 5, 0, 0, 1800000}, 90, 100}, {{40, 5, 3, 2, 1800000}, 40 * 100.0 / 45, 100}};
    for (const auto &row : rows) {
        QCOMPARE(row.counts.yieldPercent(), row.yield);
        QCOMPARE(row.counts.boardsPerHour(), row.perHour);
    }
}

void TestStation::changesComeOncePerPass()
{
    Fixture fixture;
    fixture.plug("a", 60);
    fixture.plug("b", 60);
    Station station(fixture.config(), Image);
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
}

// The one progress every view reads: percent as the window rounds it but never
// 100 before the last block is acknowledged; the speed over the data blocks
// alone, none over too short a time.
void TestStation::progressOfABoard()
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

QTEST_MAIN(TestStation)
#include "tst_station.moc"
