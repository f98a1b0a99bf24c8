// The production station against simulated boards: each board is a simulator
// on a pseudo-terminal, plugged by making a symlink to it in a temporary
// folder and pulled by removing the link, as udev does in /dev/serial.

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
    explicit Board(const BootloaderSimOptions &options = {}) : sim(pty.releaseMaster(), options)
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

    Board &plug(const QString &slot, const BootloaderSimOptions &options = {})
    {
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
        config.stationName = QStringLiteral("bench-1");
        config.file = QStringLiteral("app.kvt");
        config.upload.retries = 3;
        config.upload.stopOnCancel = true;
        config.upload.timing.firstPause = 30;
        config.upload.timing.secondPause = 10;
        config.upload.timing.replyLimit = 2000;
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
    void threeBoardsOncePerPlug();
    void boardPulledMidFlashAndReplugged();
    void onlyMatchingAdapters();
    void portThatCannotBeOpened();
    void stopAndKillAsAProcess_data();
    void stopAndKillAsAProcess();
    void counts_data();
    void counts();
};

void TestStation::threeBoardsOncePerPlug()
{
    Fixture fixture;
    const QStringList names{"usb-0:1.1", "usb-0:1.2", "usb-0:1.3"};
    fixture.plug(names[0]); // present before the station starts
    Station station(fixture.config(), Image);
    QSignalSpy finished(&station, &Station::boardFinished);
    QString why;
    QVERIFY2(station.start(&why), qPrintable(why));
    fixture.plug(names[1]);
    fixture.plug(names[2]);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, 20000);
    QTest::qWait(300); // a board left plugged is not flashed again
    QCOMPARE(finished.size(), 3);
    const QString sha256 = QCryptographicHash::hash(Image, QCryptographicHash::Sha256).toHex();
    for (const QString &slot : names) {
        QCOMPARE(fixture.board(slot).sim.receivedImage(), Image);
        QCOMPARE(fixture.board(slot).sim.counters().sessions, 1);
        const QVector<QJsonObject> records = recordsOf(fixture.record(), slot);
        QCOMPARE(records.size(), 1);
        const QJsonObject &record = records.first();
        QCOMPARE(record.value("status").toString(), QStringLiteral("ok"));
        QCOMPARE(record.value("sha256").toString(), sha256);
        QCOMPARE(record.value("bytes").toInt(), Image.size());
        QCOMPARE(record.value("sent").toInt(), Image.size());
        QCOMPARE(record.value("station").toString(), QStringLiteral("bench-1"));
        QCOMPARE(record.value("port").toString(),
                 QFileInfo(fixture.slotPath(slot)).canonicalFilePath());
        QCOMPARE(record.value("schema").toInt(), 1);
        QVERIFY(record.value("started").toString() <= record.value("ended").toString());
    }
    QCOMPARE(station.counts().ok, 3);
}

void TestStation::boardPulledMidFlashAndReplugged()
{
    Fixture fixture;
    BootloaderSimOptions slow;
    slow.replyDelayMs = 100; // long enough to be pulled mid-flash
    Station station(fixture.config(), makeImage(20 * 1024));
    QSignalSpy finished(&station, &Station::boardFinished);
    QString why;
    QVERIFY2(station.start(&why), qPrintable(why));
    Board &board = fixture.plug("slot-a", slow);
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
    const QHash<QString, flash::UsbIdentity> adapters{
        {fixture.plug("ftdi").pty.slavePath(), {"0403", "6001", "FT1"}},
        {fixture.plug("ch340").pty.slavePath(), {"1a86", "7523", "CH1"}}};
    fixture.plug("unknown");
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
    QVERIFY(station.slotStates().value("ch340").skipped.contains("1a86:7523"));
    QVERIFY(station.slotStates().value("unknown").skipped.contains("unknown"));
}

void TestStation::portThatCannotBeOpened()
{
    Fixture fixture;
    QFile::link("/dev/null", fixture.slotPath("bad"));
    Station station(fixture.config(), Image);
    QSignalSpy finished(&station, &Station::boardFinished);
    QString why;
    QVERIFY2(station.start(&why), qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 5000);
    const QJsonObject record = recordsOf(fixture.record()).first();
    QCOMPARE(record.value("status").toString(), QStringLiteral("open-failed"));
    QCOMPARE(record.value("message").toString(), QStringLiteral("not a serial port"));
    // A folder that is not there is refused before anything starts.
    StationConfig missing = fixture.config();
    missing.folder = fixture.folder() + "/no-such-folder";
    Station nowhere(missing, Image);
    QVERIFY(!nowhere.start(&why));
    QVERIFY(why.contains("does not exist"));
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
    BootloaderSimOptions slow;
    slow.replyDelayMs = 50;
    fixture.plug("done");
    QProcess flasher;
    flasher.start(KVT_FLASH_BINARY,
                  {image.fileName(), "--watch", fixture.folder() + "/slots", "--record",
                   fixture.record(), "--settle", "30", "--json", "--timing-scale", "0.02"});
    QVERIFY(flasher.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(recordsOf(fixture.record()).size(), 1, 20000);
    Board &busy = fixture.plug("busy", slow);
    QTRY_VERIFY_WITH_TIMEOUT(busy.sim.counters().dataBlocks >= 2, 10000);
    ::kill(flasher.processId(), signal);
    QVERIFY(flasher.waitForFinished(5000));
    const QByteArray raw = [&] {
        QFile file(fixture.record());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
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

void TestStation::counts_data()
{
    QTest::addColumn<int>("ok");
    QTest::addColumn<int>("failed");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<double>("yield");
    QTest::addColumn<double>("perHour");
    QTest::newRow("nothing yet") << 0 << 0 << 0ll << -1.0 << 0.0;
    QTest::newRow("under a minute") << 3 << 1 << 30000ll << 75.0 << 0.0;
    QTest::newRow("half an hour") << 45 << 5 << 1800000ll << 90.0 << 100.0;
}

void TestStation::counts()
{
    QFETCH(int, ok);
    QFETCH(int, failed);
    QFETCH(qint64, elapsedMs);
    QFETCH(double, yield);
    QFETCH(double, perHour);
    const StationCounts counts{ok, failed, elapsedMs};
    QCOMPARE(counts.yieldPercent(), yield);
    QCOMPARE(counts.boardsPerHour(), perHour);
}

QTEST_MAIN(TestStation)
#include "tst_station.moc"
