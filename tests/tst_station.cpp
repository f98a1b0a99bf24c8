// The production station against simulated boards: each board is a simulator
// on a pseudo-terminal, plugged by making a symlink to it in a temporary
// folder and pulled by removing the link, as udev does in /dev/serial.

#include "fakeadapter.h"
#include "sim/bootloadersim.h"
#include "sim/pty.h"
#include "station/recordfile.h"
#include "station/station.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace station;

namespace {

QByteArray makeImage(int size)
{
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 131 + i / 1024) & 0xFF);
    return image.replace(0, 4, QByteArray::fromHex("00400020"));
}

const QByteArray Image = makeImage(5000);

// A board: the simulated bootloader, ready before its entry appears.
struct Board
{
    explicit Board(const BootloaderSimOptions &options) : sim(pty.releaseMaster(), options)
    {
        sim.start();
    }
    PtyPair pty;
    BootloaderSim sim;
};

class Fixture
{
public:
    Fixture() { QDir().mkpath(folder_.path() + "/slots"); }
    QString folder() const { return folder_.path(); }
    QString record() const { return folder_.filePath(QStringLiteral("record.jsonl")); }
    QString slotPath(const QString &slot) const { return folder() + "/slots/" + slot; }

    Board &plug(const QString &slot, int replyDelayMs = 0)
    {
        BootloaderSimOptions options;
        options.replyDelayMs = replyDelayMs;
        boards_[slot] = std::make_unique<Board>(options);
        QFile::link(boards_[slot]->pty.slavePath(), slotPath(slot));
        return *boards_[slot];
    }
    void pull(const QString &slot) { QFile::remove(slotPath(slot)); }
    Board &board(const QString &slot) { return *boards_.at(slot); }

    StationConfig config() const
    {
        StationConfig config;
        config.folder = folder() + "/slots";
        config.settleMs = 30;
        config.recordPath = record();
        config.upload.retries = 3;
        config.upload.stopOnCancel = true;
        config.upload.timing.firstPause = 30;
        config.upload.timing.secondPause = 10;
        return config;
    }

private:
    QTemporaryDir folder_;
    std::map<QString, std::unique_ptr<Board>> boards_;
};

QVector<QJsonObject> recordsOf(const QString &path, const QString &slot = {})
{
    QVector<QJsonObject> found;
    for (const QJsonObject &record : RecordFile::read(path))
        if (slot.isEmpty() || record.value("slot").toString() == slot)
            found.append(record);
    return found;
}

} // namespace

class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void threeBoardsOncePerPlugAndABadPort();
    void boardPulledMidFlashAndReplugged();
    void onlyMatchingAdapters();
    void stopAndKillAsAProcess_data();
    void stopAndKillAsAProcess();
    void counts();
};

void TestStation::threeBoardsOncePerPlugAndABadPort()
{
    Fixture fixture;
    const QStringList names{"usb-0:1.1", "usb-0:1.2", "usb-0:1.3"};
    fixture.plug(names[0]); // present before the station starts
    QFile::link("/dev/null", fixture.slotPath("bad"));
    Station station(fixture.config(), Image);
    QSignalSpy finished(&station, &Station::boardFinished);
    QString why;
    QVERIFY2(station.start(&why), qPrintable(why));
    fixture.plug(names[1]);
    fixture.plug(names[2]);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 4, 20000);
    QTest::qWait(300); // a board left plugged is not flashed again
    QCOMPARE(finished.size(), 4);
    const QString sha256 = QCryptographicHash::hash(Image, QCryptographicHash::Sha256).toHex();
    for (const QString &slot : names) {
        QCOMPARE(fixture.board(slot).sim.receivedImage(), Image);
        QCOMPARE(fixture.board(slot).sim.counters().sessions, 1);
        const QJsonObject record = recordsOf(fixture.record(), slot).value(0);
        QCOMPARE(record.value("status").toString(), QStringLiteral("ok"));
        QCOMPARE(record.value("sha256").toString(), sha256);
        QCOMPARE(record.value("bytes").toInt(), Image.size());
        QCOMPARE(record.value("port").toString(),
                 QFileInfo(fixture.slotPath(slot)).canonicalFilePath());
    }
    const QJsonObject bad = recordsOf(fixture.record(), "bad").value(0);
    QCOMPARE(bad.value("status").toString(), QStringLiteral("open-failed"));
    QCOMPARE(bad.value("message").toString(), QStringLiteral("not a serial port"));
    QCOMPARE(station.counts().ok, 3);
    QCOMPARE(station.counts().failed, 1);
    // A folder that is not there is refused before anything starts.
    StationConfig missing = fixture.config();
    missing.folder = fixture.folder() + "/no-such-folder";
    Station nowhere(missing, Image);
    QVERIFY(!nowhere.start(&why) && why.contains("does not exist"));
}

void TestStation::boardPulledMidFlashAndReplugged()
{
    Fixture fixture;
    Station station(fixture.config(), makeImage(20 * 1024));
    QSignalSpy finished(&station, &Station::boardFinished);
    QString why;
    QVERIFY2(station.start(&why), qPrintable(why));
    Board &board = fixture.plug("slot-a", 100); // slow enough to be pulled mid-flash
    QTRY_VERIFY_WITH_TIMEOUT(board.sim.counters().dataBlocks >= 2, 10000);
    fixture.pull("slot-a");
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    QCOMPARE(recordsOf(fixture.record()).last().value("status").toString(),
             QStringLiteral("unplugged"));
    QTRY_COMPARE(station.slotStates().value("slot-a").state, Slot::State::Empty);
    // The slot is armed again: a new board in it is flashed.
    fixture.plug("slot-a");
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 20000);
    QCOMPARE(recordsOf(fixture.record()).last().value("status").toString(), QStringLiteral("ok"));
    QCOMPARE(station.counts().failed, 1);
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
    QVERIFY(station.slotStates().value("ch340").skipped.contains("1a86:7523"));
    QVERIFY(station.slotStates().value("unknown").skipped.contains("unknown"));
}

void TestStation::stopAndKillAsAProcess_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM stops the boards in flight") << int(SIGTERM);
    QTest::newRow("SIGKILL leaves whole lines") << int(SIGKILL);
}

void TestStation::stopAndKillAsAProcess()
{
    QFETCH(int, signal);
    Fixture fixture;
    QFile image(fixture.folder() + "/app.kvt");
    QVERIFY(image.open(QIODevice::WriteOnly) && image.write(makeImage(40 * 1024)) > 0);
    image.close();
    fixture.plug("done");
    QProcess flasher;
    flasher.start(KVT_FLASH_BINARY,
                  {image.fileName(), "--watch", fixture.folder() + "/slots", "--record",
                   fixture.record(), "--settle", "30", "--json", "--timing-scale", "0.02"});
    QVERIFY(flasher.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(recordsOf(fixture.record()).size(), 1, 20000);
    Board &busy = fixture.plug("busy", 50);
    QTRY_VERIFY_WITH_TIMEOUT(busy.sim.counters().dataBlocks >= 2, 10000);
    ::kill(flasher.processId(), signal);
    QVERIFY(flasher.waitForFinished(5000));
    QFile file(fixture.record());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray raw = file.readAll();
    if (signal == SIGKILL) {
        // Every line written is whole: a crash loses at most the line being
        // written, and there was none.
        QVERIFY(raw.endsWith('\n'));
        QCOMPARE(recordsOf(fixture.record()).size(), raw.count('\n'));
        return;
    }
    QCOMPARE(flasher.exitCode(), 130);
    QTRY_COMPARE(busy.sim.phase(), BootloaderSim::Phase::Cancelled);
    const QVector<QJsonObject> records = recordsOf(fixture.record());
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.last().value("status").toString(), QStringLiteral("stopped"));
    QVERIFY(flasher.readAllStandardOutput().contains("\"event\":\"summary\""));
}

// The summary: boards ok in percent (-1 before the first), boards an hour
// (0 under a minute).
void TestStation::counts()
{
    const struct
    {
        StationCounts counts;
        double yield;
        double perHour;
    } rows[] = {{{0, 0, 0}, -1, 0}, {{3, 1, 30000}, 75, 0}, {{45, 5, 1800000}, 90, 100}};
    for (const auto &row : rows) {
        QCOMPARE(row.counts.yieldPercent(), row.yield);
        QCOMPARE(row.counts.boardsPerHour(), row.perHour);
    }
}

QTEST_MAIN(TestStation)
#include "tst_station.moc"
