// Proof on every board, through kvt-flash as an operator runs it: simulated
// boards whose new firmware prints a line (or does not), labels typed by a
// scanner on standard input, and a database that lists released images.

#include "stationfixture.h"

namespace {

const QString Expect = QStringLiteral("SN=(?<board>\\w+)");

BootloaderSimOptions firmware(const QByteArray &line, int delayMs = 0, bool garbage = false)
{
    BootloaderSimOptions options;
    options.bootLine = line;
    options.bootDelayMs = delayMs;
    options.bootGarbage = garbage;
    return options;
}

// One run of kvt-flash with --json over the fixture's boards, its errors
// among the events, and the records database beside them.
class Line : public stationtest::Program
{
public:
    explicit Line(stationtest::Fixture &boards) : boards_(boards) { boards.writeImage(3000); }
    static QString sha256() { return testdata::sha256Of(testdata::makeImage(3000)); }
    QString database() const { return QStringLiteral("sqlite:") + boards_.folder() + "/db.sqlite"; }

    void start(const QStringList &arguments)
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        Program::start(KVT_FLASH_BINARY,
                       QStringList{boards_.image(), "--json", "--timing-scale", "0.02"} +
                           arguments);
    }
    void watch(const QStringList &arguments)
    {
        start(QStringList{"--watch", boards_.slotFolder(), "--settle", "30", "--record",
                          boards_.record(), "--database", database()} +
              arguments);
    }
    void type(const QString &code) { process.write(code.toUtf8() + '\n'); }
    QVector<QJsonObject> records() const { return stationtest::recordsOf(boards_.record()); }
    int records(const QStringList &arguments)
    {
        QProcess tool; // what it prints is not this test's
        tool.setStandardOutputFile(QProcess::nullDevice());
        tool.start(KVT_RECORDS_BINARY, arguments + QStringList{"--database", database()});
        return tool.waitForFinished(15000) ? tool.exitCode() : -1;
    }

private:
    stationtest::Fixture &boards_;
};

} // namespace

Q_DECLARE_METATYPE(BootloaderSimOptions)

class TestProof : public QObject
{
    Q_OBJECT

private slots:
    // The new firmware proves it runs, over ports given by name: the status
    // and the result event say how.
    void theNewFirmwareRuns_data()
    {
        QTest::addColumn<BootloaderSimOptions>("board");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<QString>("said"); // in the result: the boot line or the message
        const QStringList expect{"--expect", Expect, "--expect-within", "1"};
        QTest::newRow("late, in time")
            << firmware("APP 1.4 SN=AB12", 400) << expect << 0 << "APP 1.4 SN=AB12";
        QTest::newRow("too late") << firmware("APP 1.4 SN=AB12", 1600) << expect << 9
                                  << "no line matching SN=(?<board>\\w+) in 1 s; the device said "
                                     "nothing";
        QTest::newRow("garbage") << firmware({}, 0, true) << expect << 9 << "; last line: ";
        QTest::newRow("no --expect: as before")
            << firmware({}) << QStringList() << 0 << "Firmware has been updated successfully.";
    }
    void theNewFirmwareRuns()
    {
        QFETCH(BootloaderSimOptions, board);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitStatus);
        QFETCH(QString, said);
        stationtest::Fixture boards;
        boards.plug("port1", board);
        Line line(boards);
        line.start(QStringList{"--port", boards.slotPath("port1")} + arguments);
        QCOMPARE(line.end(0), exitStatus);
        const QJsonObject result = line.events("result").value(0);
        const QJsonObject boot = result.value("boot").toObject();
        QVERIFY2(
            (boot.value("line").toString() + result.value("message").toString()).contains(said),
            qPrintable(QJsonDocument(result).toJson()));
        QCOMPARE(result.value("board").toString(),
                 exitStatus == 0 && !board.bootLine.isEmpty() ? QStringLiteral("AB12") : QString());
        QCOMPARE(boot.isEmpty(), exitStatus != 0 || board.bootLine.isEmpty());
        QVERIFY(boot.isEmpty() || boot.value("ms").toInt() >= board.bootDelayMs);
    }

    // Labels typed by the scanner: a code waits for the next board, a slot's
    // label sends the next code to its board, a board waits for its code
    // with --require-scan, and a label that names another board fails it.
    // AB12 was flashed ok with this image before: each ok record names that.
    void theLabelNamesTheBoard_data()
    {
        QTest::addColumn<QStringList>("before"); // typed before the board is plugged
        QTest::addColumn<QStringList>("after");  // typed once it waits for its label
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("scanned");
        QTest::newRow("scan, then plug") << QStringList{"AB12"} << QStringList() << "ok"
                                         << "AB12";
        QTest::newRow("slot, then board") << QStringList{"S7", "ab12"} << QStringList() << "ok"
                                          << "ab12";
        QTest::newRow("the label is another board's")
            << QStringList{"XY99"} << QStringList() << "mismatch"
            << "XY99";
        QTest::newRow("plugged, waits, scanned") << QStringList() << QStringList{"AB12"} << "ok"
                                                 << "AB12";
    }
    void theLabelNamesTheBoard()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(QString, status);
        QFETCH(QString, scanned);
        stationtest::Fixture boards;
        Line line(boards);
        const QString labels = boards.folder() + "/labels";
        const QString earlier = boards.folder() + "/earlier.jsonl";
        QVERIFY(testdata::writeFile(labels, "port1 S7\n"));
        QVERIFY(testdata::writeFile(
            earlier, "{\"id\":\"e1\",\"station\":\"line0\",\"status\":\"ok\",\"board\":\"AB12\","
                     "\"ended\":\"2026-12-01T08:00:13.000Z\",\"sha256\":\"" +
                         Line::sha256().toLatin1() + "\"}\n"));
        QVERIFY(line.records({"init"}) == 0 && line.records({"import", earlier}) == 0);
        line.watch({"--expect", Expect, "--scan", "--require-scan", "--labels", labels});
        QVERIFY(line.awaits("watch"));
        for (const QString &code : before)
            line.type(code);
        QVERIFY(line.awaits("scan", before.size()));
        boards.plug("port1", firmware("APP 1.4 SN=AB12"));
        if (!after.isEmpty()) {
            QVERIFY(line.awaits("skip"));
            QCOMPARE(line.events("skip").value(0).value("why").toString(),
                     "scan the board's label");
            QVERIFY(line.records().isEmpty());
            line.type(after.value(0));
        }
        QVERIFY(line.awaits("result"));
        QCOMPARE(line.end(), 130);
        const QJsonObject record = line.records().value(0);
        QCOMPARE(record.value("status").toString(), status);
        QCOMPARE(record.value("scanned").toString(), scanned);
        QCOMPARE(record.value("board").toString(), "AB12");
        const QJsonObject earlierOk{{"station", "line0"}, {"ended", "2026-12-01T08:00:13.000Z"}};
        QCOMPARE(record.value("flashed_before").toObject(),
                 status == "ok" ? earlierOk : QJsonObject());
        if (status == "mismatch")
            QCOMPARE(record.value("message").toString(),
                     "the label says XY99, the board says AB12");
    }

    // --released-only: no proof, no flash; a withdrawal holds new boards.
    void onlyReleasedImages_data()
    {
        QTest::addColumn<bool>("released");   // by kvt-records, before the station starts
        QTest::addColumn<QString>("refusal"); // empty: the station runs
        QTest::newRow("released") << true << QString();
        QTest::newRow("never released") << false << "not released";
    }
    void onlyReleasedImages()
    {
        QFETCH(bool, released);
        QFETCH(QString, refusal);
        stationtest::Fixture boards;
        Line line(boards);
        QCOMPARE(line.records({"init"}), 0);
        if (released)
            QCOMPARE(line.records({"release", boards.image()}), 0);
        line.watch({"--released-only"});
        if (!refusal.isEmpty()) {
            QCOMPARE(line.end(0), 11);
            QVERIFY(line.events("error").value(0).value("message").toString().contains(refusal));
            QVERIFY(line.records().isEmpty());
            return;
        }
        boards.plug("port1");
        QVERIFY(line.awaits("result"));
        QCOMPARE(line.records({"withdraw", Line::sha256()}), 0);
        const auto told = [&line] {
            for (const QJsonObject &event : line.events("database"))
                if (event.value("backlog").toString().contains("withdrawn"))
                    return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(told(), 10000);
        boards.plug("port2");
        QVERIFY(line.awaits("skip"));
        QVERIFY(line.events("skip").value(0).value("why").toString().startsWith("held: the image "
                                                                                "is withdrawn"));
        QCOMPARE(line.end(), 130);
        QCOMPARE(line.records().size(), 1);
    }
};

QTEST_MAIN(TestProof)
#include "tst_proof.moc"
