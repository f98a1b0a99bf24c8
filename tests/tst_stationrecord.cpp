// The station's record as the gate: the record file against rotation, torn
// lines and write failures; a station that cannot write holds; and every way
// a station process ends tells the devices and records them.

#include "stationfixture.h"

#include <QUuid>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

using namespace station;
using namespace stationtest;
using testdata::readFile;
using testdata::writeFile;

namespace {

records::BoardRecord boardRecord(qint64 seq)
{
    records::BoardRecord record;
    record.seq = seq;
    return record;
}

const records::BoardRecord First = boardRecord(1);
const records::BoardRecord Second = boardRecord(2);

enum class Fault
{
    TornAtOpen, // a crash left half a line
    Renamed,    // log rotation moved the file away (deleting it takes the same path)
    FolderMissing,
    FolderIsAFile, // refused, with the file named
};

// A disk of two pages: one holds a filler, the other the record, nearly full.
class SmallDisk
{
public:
    SmallDisk()
    {
        mounted_ = ::mount("tmpfs", QFile::encodeName(dir_.path()).constData(), "tmpfs", 0,
                           "size=8k") == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            ::umount2(QFile::encodeName(dir_.path()).constData(), MNT_DETACH);
    }
    bool isMounted() const { return mounted_; }
    QString path(const QString &name) const { return dir_.filePath(name); }

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
};

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestStationRecord : public QObject
{
    Q_OBJECT

private slots:
    void recordFile_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QByteArray>("atPath"); // what the path holds afterwards
        const QByteArray second = Second.toLine() + '\n';
        const QByteArray both = First.toLine() + '\n' + second;
        QTest::newRow("torn line ended at open") << Fault::TornAtOpen << "{\"seq\":0\n" + both;
        QTest::newRow("renamed: made again") << Fault::Renamed << second;
        QTest::newRow("folder made as needed") << Fault::FolderMissing << both;
        QTest::newRow("folder is a file") << Fault::FolderIsAFile << QByteArray("x");
    }
    void recordFile()
    {
        QFETCH(Fault, fault);
        QFETCH(QByteArray, atPath);
        QTemporaryDir dir;
        const QString path =
            dir.filePath(fault == Fault::FolderMissing ? "a/b/record.jsonl" : "record.jsonl");
        if (fault == Fault::TornAtOpen)
            QVERIFY(writeFile(path, "{\"seq\":0"));
        RecordFile record;
        QString why;
        if (fault == Fault::FolderIsAFile) {
            QVERIFY(writeFile(dir.filePath("plain"), atPath));
            QVERIFY(!record.open(dir.filePath("plain/record.jsonl"), &why) && !record.isOpen());
            QVERIFY2(why.contains(dir.filePath("plain")), qPrintable(why));
            return;
        }
        QVERIFY2(record.open(path, &why), qPrintable(why));
        QCOMPARE(record.append({First}, &why), 1);
        if (fault == Fault::Renamed)
            QVERIFY(QFile::rename(path, path + ".1"));
        QVERIFY2(record.append({Second}, &why) == 1, qPrintable(why));
        QCOMPARE(readFile(path), atPath);
        if (fault == Fault::Renamed)
            QCOMPARE(readFile(path + ".1"), First.toLine() + '\n');
    }
    // A board's record cut short and refused on a full disk: the station holds,
    // starts no new board and keeps the record; once the disk has room the torn
    // line is ended, the record written and the held board flashed.
    void heldWhileTheRecordCannotBeWritten()
    {
        SmallDisk disk;
        if (!disk.isMounted())
            QSKIP("needs to mount a small tmpfs (root)");
        const QByteArray earlier = "{\"pad\":\"" + QByteArray(4096 - 80, 'x') + "\"}\n";
        QVERIFY(writeFile(disk.path("record.jsonl"), earlier));
        QVERIFY(writeFile(disk.path("filler"), QByteArray(4096, 'f')));
        Fixture fixture;
        StationConfig config = fixture.config();
        config.recordPath = disk.path("record.jsonl");
        Station station(config, makeImage(5000));
        QSignalSpy held(&station, &Station::recordHeld);
        QSignalSpy finished(&station, &Station::boardFinished);
        QSignalSpy recorded(&station, &Station::boardRecorded);
        QString why;
        QVERIFY2(station.start(&why), qPrintable(why));
        fixture.plug("first");
        QTRY_COMPARE_WITH_TIMEOUT(held.size(), 1, 10000);
        QCOMPARE(station.recordError(), QStringLiteral("the record cannot be written: ") +
                                            QString::fromLocal8Bit(std::strerror(ENOSPC)));
        QCOMPARE(station.slotStates().value("first").state, Slot::State::Done);
        QVERIFY(!station.slotStates().value("first").lastRecorded);
        QCOMPARE(station.counts().ok, 0);
        QVERIFY(!finished.value(0).value(0).value<Slot>().lastRecorded); // told as not recorded
        fixture.plug("second");
        QTRY_COMPARE(station.slotStates().value("second").waiting, Slot::Waiting::Held);
        QVERIFY(station.slotStates().value("second").skipped.startsWith("held: the record cannot"));
        QTest::qWait(200); // tried again, still failing, and nothing starts
        QCOMPARE(fixture.board("second").sim.counters().sessions, 0);
        QVERIFY(QFile::remove(disk.path("filler")));
        QTRY_COMPARE_WITH_TIMEOUT(statusesOf(config.recordPath), (QStringList{"ok", "ok"}), 10000);
        QTRY_COMPARE(station.counts().ok, 2); // once the station has the writer's news
        QVERIFY(station.recordError().isEmpty());
        QCOMPARE(held.last().first().toString(), QString());
        QCOMPARE(station.counts().notRecorded, 0);
        // The first is told again once recorded; the second was recorded when told.
        QTRY_COMPARE(finished.size(), 2);
        QCOMPARE(recorded.size(), 1);
        QCOMPARE(recorded.value(0).value(1).value<records::BoardRecord>().slot, "first");
        QVERIFY(finished.value(1).value(0).value<Slot>().lastRecorded);
        const QByteArray raw = readFile(config.recordPath);
        QCOMPARE(raw.count('\n'), 4); // the earlier line, the torn one ended, two records
        QVERIFY(raw.endsWith('\n'));
    }
    // A station killed while it sends a long backlog to the database: started
    // again, it sends what the database lacks, and each record is there once; the
    // next board's record follows with the journal's next seq, under an id of its
    // own.
    void killedWhileForwarding()
    {
        Fixture fixture;
        fixture.writeImage(1024);
        constexpr int Backlog = 50000;
        QByteArray journal;
        QStringList ids;
        for (int seq = 1; seq <= Backlog; ++seq) {
            records::BoardRecord record = boardRecord(seq);
            record.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            record.station = "line3";
            record.slot = "slot-1";
            record.status = "ok";
            ids.append(record.id);
            journal += record.toLine() + '\n';
        }
        QVERIFY(writeFile(fixture.record(), journal));
        const QString database = "sqlite:" + fixture.folder() + "/records.sqlite";
        const QStringList arguments{fixture.image(),
                                    "--watch",
                                    fixture.slotFolder(),
                                    "--record",
                                    fixture.record(),
                                    "--database",
                                    database,
                                    "--json",
                                    "--settle",
                                    "30"};
        Program killed, again;
        killed.start(KVT_FLASH_BINARY, arguments);
        QTRY_VERIFY_WITH_TIMEOUT(!idsInDatabase(database).isEmpty(), 20000);
        QCOMPARE(killed.end(SIGKILL), -1);
        QVERIFY(idsInDatabase(database).size() < Backlog); // killed half way
        again.start(KVT_FLASH_BINARY, arguments);
        QTRY_COMPARE_WITH_TIMEOUT(idsInDatabase(database).size(), Backlog, 60000);
        fixture.plug("next");
        QTRY_COMPARE_WITH_TIMEOUT(idsInDatabase(database).size(), Backlog + 1, 20000);
        const QJsonObject next = recordsOf(fixture.record()).last();
        QCOMPARE(next.value("seq").toInt(), Backlog + 1);
        QVERIFY(!QUuid::fromString(next.value("id").toString()).isNull());
        ids.append(next.value("id").toString());
        QCOMPARE(again.end(SIGTERM), 130);
        QCOMPARE(idsInDatabase(database), ids);
    }
    void endsOfAStation_data()
    {
        QTest::addColumn<int>("signalToSend");
        QTest::addColumn<bool>("fullDisk");
        QTest::addColumn<int>("exitCode");
        // SIGINT, SIGTERM and SIGHUP take one path (a second SIGINT abandons the
        // boards in flight: tst_station's boardsInFlight); the window's process:
        // tst_stationwindow. What a crash leaves of the record: recordFile.
        QTest::newRow("SIGHUP, the terminal closed") << SIGHUP << false << 130;
        QTest::newRow("SIGTERM with the disk full") << SIGTERM << true << 8;
    }
    void endsOfAStation()
    {
        QFETCH(int, signalToSend);
        QFETCH(bool, fullDisk);
        QFETCH(int, exitCode);
        Fixture fixture;
        const QString image = fixture.image();
        fixture.writeImage(40 * 1024);
        const QString record = fullDisk ? fixture.folder() + "/full.jsonl" : fixture.record();
        if (fullDisk)
            QVERIFY(QFile::link("/dev/full", record));
        fixture.plug("done");
        Program flasher;
        flasher.start(KVT_FLASH_BINARY, {image, "--watch", fixture.slotFolder(), "--record", record,
                                         "--settle", "30", "--json", "--timing-scale", "0.02"});
        QTRY_VERIFY_WITH_TIMEOUT(
            fixture.board("done").sim.phase() == BootloaderSim::Phase::Completed, 20000);
        // The image rebuilt on disk: still the loaded bytes, and a warning once
        // the file has stood still.
        QVERIFY(writeFile(image, makeImage(1024)));
        QVERIFY(flasher.awaits("image"));
        Board &busy = fixture.plug("busy", 50);
        QTRY_VERIFY_WITH_TIMEOUT(busy.sim.counters().dataBlocks >= 2 || fullDisk, 10000);
        QCOMPARE(flasher.end(signalToSend), exitCode);
        const QByteArray out = flasher.output(), err = flasher.process.readAllStandardError();
        QVERIFY(out.contains(testdata::sha256Of(makeImage(1024)).toUtf8()));
        QCOMPARE(flasher.events("summary").size(), 1);
        if (fullDisk) { // nothing lost: the records go to stderr
            QVERIFY2(out.contains("\"recorded\":false") && !out.contains("\"recorded\":true"),
                     out.constData());
            QVERIFY2(err.contains("\"event\":\"error\""), err.constData());
            QVERIFY(err.contains("\"slot\":\"done\",") && err.contains("\"status\":\"ok\""));
            QCOMPARE(busy.sim.counters().sessions, 0); // held
            return;
        }
        QTRY_COMPARE(busy.sim.phase(), BootloaderSim::Phase::Cancelled);
        QCOMPARE(flasher.events("stopping").size(), 1);
        QVERIFY(out.contains("\"recorded\":true") && !out.contains("\"recorded\":false"));
        const QVector<QJsonObject> records = recordsOf(record);
        QCOMPARE(statusesOf(record), (QStringList{"ok", "stopped"}));
        QCOMPARE(records.last().value("sha256").toString(),
                 records.first().value("sha256").toString());
    }
};

QTEST_MAIN(TestStationRecord)
#include "tst_stationrecord.moc"
