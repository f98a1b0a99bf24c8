// kvt-records run in-process against SQLite and a throw-away PostgreSQL:
// import, find, summary, export and report, and what it says to bad input.

#include "recordscommand.h"
#include "recordsfixture.h"
#include "recordviews.h"

#include <QtTest>

using namespace recordstool;

namespace {

struct Run
{
    int status = -1;
    QString out;
    QString err;
    QStringList lines() const { return out.split('\n', Qt::SkipEmptyParts); }
};

Run kvtRecords(const QStringList &arguments, bool terminal = false)
{
    Run run;
    QTextStream out(&run.out), err(&run.err);
    run.status = runRecordsCommand(QStringList{"kvt-records"} + arguments, out, err, terminal);
    out.flush();
    err.flush();
    return run;
}

QStringList journalLines(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestRecordsTool : public RecordsTestBase
{
    Q_OBJECT

private slots:
    void initTestCase();
    void importIsIdempotent_data() { backends(); }
    void importIsIdempotent();
    void find_data();
    void find();
    void summary_data();
    void summary();
    void exportQuotesCsv();
    void reportNeedsNothingOutside();
    void stationRoleMayOnlyReadAndInsert();
    void badInput_data();
    void badInput();

private:
    QString databaseOption(const QString &backend)
    {
        return "--database=" + newDatabase(backend, false);
    }
    // A day of boards as the summary's arithmetic wants them.
    QString summaryDatabase(const QString &backend);
};

void TestRecordsTool::initTestCase()
{
    QString error;
    QVERIFY2(postgres_.setUp(&error), qPrintable(error));
}

void TestRecordsTool::importIsIdempotent()
{
    QFETCH(QString, backend);
    const QString database = databaseOption(backend);
    StationJournal journal(folder_.filePath(backend + "-import.jsonl"), "line3");
    journal.append();
    journal.appendRaw("{\"schema\":1,\"station\":\"line3\",\"status\":\"ok\"}\n"); // no id
    journal.appendRaw("{\"seq\":2,\"stat\n");                                      // torn
    journal.append("timeout");
    journal.appendRaw("{\"seq\":4,"); // torn, last
    Run first = kvtRecords({"import", journal.path(), database});
    QCOMPARE(first.status, int(ExitSuccess));
    QVERIFY2(first.out.contains(": 3 records, 3 new, 0 already in the database, 2 damaged line(s) "
                                "skipped"),
             qPrintable(first.out));
    Run again = kvtRecords({"import", journal.path(), database});
    QVERIFY2(again.out.contains(": 3 records, 0 new, 3 already in the database"),
             qPrintable(again.out));
    const QStringList rows = kvtRecords({"export", "--csv", database}).lines();
    QCOMPARE(rows.size(), 1 + 3);
}

void TestRecordsTool::find_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("seqs"); // of the records found, in order

    for (const QString backend : {"postgresql", "sqlite"}) {
        const QByteArray tag = backend.toLatin1() + ", ";
        QTest::newRow(tag + "USB serial") << backend << "line3-SN5" << QList<int>{5};
        QTest::newRow(tag + "id prefix") << backend << "@7" << QList<int>{7};
        QTest::newRow(tag + "slot, newest first") << backend << "slot-3" << QList<int>{19, 11, 3};
        QTest::newRow(tag + "label") << backend << "batch-7" << QList<int>{21};
        QTest::newRow(tag + "nothing") << backend << "no-such-board" << QList<int>{};
    }
}

void TestRecordsTool::find()
{
    QFETCH(QString, backend);
    QFETCH(QString, text);
    const QString database = databaseOption(backend);
    StationJournal journal(folder_.filePath(QStringLiteral("find-%1.jsonl").arg(databases_)),
                           "line3");
    for (int i = 0; i < 20; ++i)
        journal.append();
    journal.appendRaw(R"({"id":"b7","label":"batch-7","seq":21,"started":"2026-12-08T09:00:00Z",)"
                      R"("station":"line3","status":"ok"})"
                      "\n");
    kvtRecords({"import", journal.path(), database});
    if (text == "@7")
        text = journal.records()[6].value("id").toString().left(8);

    const Run found = kvtRecords({"find", text, "--json", database});
    QList<int> seqs;
    for (const QString &line : found.lines()) {
        seqs.append(QJsonDocument::fromJson(line.toUtf8()).object().value("seq").toInt());
        // Each record exactly as the journal holds it.
        QVERIFY2(journalLines(journal.path()).contains(line), qPrintable(line));
    }
    QTEST(seqs, "seqs");
    QCOMPARE(found.status, seqs.isEmpty() ? int(ExitNothingFound) : int(ExitSuccess));
    const Run table = kvtRecords({"find", text, database}, true);
    QCOMPARE(table.lines().size(), seqs.isEmpty() ? 0 : seqs.size() + 1);
}

QString TestRecordsTool::summaryDatabase(const QString &backend)
{
    const QString database = databaseOption(backend);
    const QString path = folder_.filePath(QStringLiteral("summary-%1.jsonl").arg(databases_));
    StationJournal a(path, "line-a"), b(path, "line-b");
    // Day 1 (seq 1-8, minutes apart): ok in 10, 20, 40 and 50 s, a time-out,
    // a refusal, two stopped. Day 2: ok in 30 s, unplugged.
    for (qint64 seconds : {10, 20, 40, 50})
        a.append("ok", seconds * 1000);
    a.append("timeout");
    b.append("refused");
    b.append("stopped");
    b.append("stopped");
    const QStringList day2{
        R"({"id":"d2-1","station":"line-b","seq":9,"started":"2026-12-08T10:00:00.000Z","status":"ok","duration_ms":30000,"file":"app.kvt","sha256":"5f3a"})",
        R"({"id":"d2-2","station":"line-b","seq":10,"started":"2026-12-08T11:00:00.000+01:00","status":"unplugged","message":"Time out","file":"boot.kvt","sha256":"77aa"})"};
    a.appendRaw(day2.join('\n').toUtf8() + '\n');
    kvtRecords({"import", path, database});
    return database;
}

void TestRecordsTool::summary_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("groups");

    const QString day1 = R"({"boards":8,"failed":2,"group":"2026-12-07","median_ms":30000,)"
                         R"("ok":4,"stopped":2,"yield":0.6666666666666666})";
    const QString day2 = R"({"boards":2,"failed":1,"group":"2026-12-08","median_ms":30000,)"
                         R"("ok":1,"stopped":0,"yield":0.5})";
    for (const QString backend : {"postgresql", "sqlite"}) {
        const auto row = [&](const char *name) -> QTestData & {
            return QTest::addRow("%s, %s", qPrintable(backend), name) << backend;
        };
        row("by day") << QStringList{} << QStringList{day1, day2};
        row("since day 2") << QStringList{"--since", "2026-12-08"} << QStringList{day2};
        row("until day 2") << QStringList{"--until", "2026-12-08"} << QStringList{day1};
        row("by station") << QStringList{"--by", "station"}
                          << QStringList{R"({"boards":5,"failed":1,"group":"line-a","median_ms":)"
                                         R"(30000,"ok":4,"stopped":0,"yield":0.8})",
                                         R"({"boards":5,"failed":2,"group":"line-b","median_ms":)"
                                         R"(30000,"ok":1,"stopped":2,"yield":0.3333333333333333})"};
        row("by image, one with no ok board")
            << QStringList{"--by", "image", "--since", "2026-12-08"}
            << QStringList{R"({"boards":1,"failed":0,"group":"app.kvt 5f3a","median_ms":30000,)"
                           R"("ok":1,"stopped":0,"yield":1})",
                           R"({"boards":1,"failed":1,"group":"boot.kvt 77aa","median_ms":null,)"
                           R"("ok":0,"stopped":0,"yield":0})"};
    }
}

void TestRecordsTool::summary()
{
    QFETCH(QString, backend);
    QFETCH(QStringList, options);
    QFETCH(QStringList, groups);
    const QString database = summaryDatabase(backend);
    const Run json = kvtRecords(QStringList{"summary", "--json", database} + options);
    QCOMPARE(json.status, int(ExitSuccess));
    QCOMPARE(json.lines(), groups);
    const Run table = kvtRecords(QStringList{"summary", database} + options);
    QVERIFY2(table.out.contains("most frequent failures:\n     3  Time out\n") ||
                 !options.isEmpty(),
             qPrintable(table.out));
}

void TestRecordsTool::exportQuotesCsv()
{
    const QString database = databaseOption("sqlite");
    const QString path = folder_.filePath("csv.jsonl");
    StationJournal(path, "x").appendRaw(
        R"({"id":"c1","station":"line, 3","seq":1,"slot":"s","usb":{"serial":"A1"},"status":"refused","message":"NAK \"block 3\"","started":"2026-12-07T09:00:00.000Z","duration_ms":900})"
        "\n");
    kvtRecords({"import", path, database});
    const Run csv = kvtRecords({"export", "--csv", database});
    QCOMPARE(csv.status, int(ExitSuccess));
    QCOMPARE(csv.out, QString("id,station,seq,slot,label,usb_serial,file,sha256,status,message,"
                              "started,ended,duration_ms\r\n"
                              "c1,\"line, 3\",1,s,,A1,,,refused,\"NAK \"\"block 3\"\"\","
                              "2026-12-07T09:00:00.000Z,,900\r\n"));
}

void TestRecordsTool::reportNeedsNothingOutside()
{
    const QString database = summaryDatabase("sqlite");
    const QString page = folder_.filePath("report.html");
    QCOMPARE(kvtRecords({"report", "--html", page, database}).status, int(ExitSuccess));
    QFile file(page);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(file.readAll());
    QVERIFY(html.contains("<svg") && html.contains("</html>"));
    QCOMPARE(html.count("<rect"), 2); // one bar per day
    for (const char *outside : {"<script", "src=", "href=", "@import", "url("})
        QVERIFY2(!html.contains(outside), outside);
    for (const char *shown : {"line-a", "line-b", "boot.kvt 77aa", "66.7 %", "Time out"})
        QVERIFY2(html.contains(shown), shown);
}

// The SQL init prints must work, and the role it makes may add records but
// not change or delete them.
void TestRecordsTool::stationRoleMayOnlyReadAndInsert()
{
    const QString database = databaseOption("postgresql");
    const Run init = kvtRecords({"init", database, "--role", "line_station"});
    QCOMPARE(init.status, int(ExitSuccess));
    const QString sql = init.out.mid(init.out.indexOf("CREATE ROLE"));
    const QString name = databaseName(databases_);
    for (const QString &statement : sql.split(";\n", Qt::SkipEmptyParts)) {
        QString error;
        QVERIFY2(postgres_.exec(statement, name, &error), qPrintable(error + statement));
    }
    const QString asStation = "--database=postgresql:///" + name +
                              "?host=" + postgres_.socketDir() + "&user=line_station";
    const QString path = folder_.filePath("role.jsonl");
    StationJournal(path, "line3").append();
    const Run imported = kvtRecords({"import", path, asStation});
    QVERIFY2(imported.status == ExitSuccess, qPrintable(imported.err));
    QCOMPARE(kvtRecords({"find", "line3", asStation}).status, int(ExitSuccess));
    const QString station = "line_station";
    QVERIFY(postgres_.exec("SELECT COUNT(*) FROM board_records", name, nullptr, station));
    QVERIFY(!postgres_.exec("DELETE FROM board_records", name, nullptr, station));
    QVERIFY(!postgres_.exec("UPDATE board_records SET status = 'ok'", name, nullptr, station));
    QVERIFY(!postgres_.exec("DROP TABLE board_records", name, nullptr, station));
}

void TestRecordsTool::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("told");

    const QString sqlite = "--database=sqlite:" + folder_.filePath("bad.sqlite");
    QTest::newRow("no command") << QStringList{} << int(ExitUsage) << "name a command";
    QTest::newRow("unknown command") << QStringList{"list"} << int(ExitUsage) << "unknown command";
    QTest::newRow("unknown option")
        << QStringList{"summary", "--colour"} << int(ExitUsage) << "colour";
    QTest::newRow("bad URL") << QStringList{"summary", "--database=mysql://h/db"} << int(ExitUsage)
                             << "expected sqlite:PATH";
    QTest::newRow("server unreachable")
        << QStringList{"summary", "--database=postgresql:///r?host=" + folder_.filePath("none")}
        << int(ExitDatabase) << "cannot connect to PostgreSQL database r";
    QTest::newRow("missing journal")
        << QStringList{"import", folder_.filePath("none.jsonl"), sqlite} << int(ExitBadJournal)
        << "cannot read";
    QTest::newRow("import of nothing")
        << QStringList{"import", sqlite} << int(ExitUsage) << "name the journal";
    QTest::newRow("bad --since") << QStringList{"summary", "--since", "monday", sqlite}
                                 << int(ExitUsage) << "bad time 'monday'";
    QTest::newRow("bad --by") << QStringList{"summary", "--by", "week", sqlite} << int(ExitUsage)
                              << "'week'";
    QTest::newRow("find two words")
        << QStringList{"find", "a", "b", sqlite} << int(ExitUsage) << "one text";
    QTest::newRow("export without a format")
        << QStringList{"export", sqlite} << int(ExitUsage) << "--csv";
    QTest::newRow("report without a file")
        << QStringList{"report", sqlite} << int(ExitUsage) << "--html";
    QTest::newRow("report not writable")
        << QStringList{"report", "--html", folder_.filePath("no/such/folder/r.html"), sqlite}
        << int(ExitBadOutput) << "cannot write";
}

void TestRecordsTool::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, told);
    const Run run = kvtRecords(arguments);
    QTEST(run.status, "status");
    QVERIFY2(run.err.contains(told), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(TestRecordsTool)
#include "tst_recordstool.moc"
