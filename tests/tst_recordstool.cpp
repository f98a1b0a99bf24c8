// kvt-records run in-process against SQLite and a throw-away PostgreSQL:
// import, find, summary, export and report, and what it says to bad input.

#include "recordsfixture.h"
#include "recordviews.h"

#include <QtTest>

using namespace recordstool;

namespace {

// A record with what CSV must quote.
const char *const CsvHard =
    "{\"id\":\"c1\",\"station\":\"line, "
    "3\",\"seq\":1,\"slot\":\"s\",\"usb\":{\"serial\":\"A1\"},\"status\":\"refused\",\"message\":"
    "\"NAK \\\"block 3\\\"\",\"started\":\"2026-12-07T09:00:00.000Z\",\"duration_ms\":900}";

} // namespace

class TestRecordsTool : public RecordsTestBase
{
    Q_OBJECT

    // A day of boards as the summary's arithmetic wants them.
    QString summaryDatabase(const QString &backend)
    {
        const QString database = databaseOption(backend);
        const QString path = folder_.filePath(QStringLiteral("summary-%1.jsonl").arg(databases_));
        StationJournal a(path, "line-a"), b(path, "line-b");
        // Day 1 (seq 1-8, minutes apart): ok in 10, 20, 40 and 50 s, a time-out,
        // a refusal, two stopped. Day 2: ok in 30 s, unplugged, stopped with an
        // image of no sha256.
        for (qint64 seconds : {10, 20, 40, 50})
            a.append("ok", seconds * 1000);
        a.append("timeout");
        b.append("refused");
        b.append("stopped");
        b.append("stopped");
        const QStringList day2{
            R"({"id":"d2-1","station":"line-b","seq":9,"started":"2026-12-08T10:00:00.000Z","status":"ok","duration_ms":30000,"file":"app.kvt","sha256":"5f3a"})",
            R"({"id":"d2-2","station":"line-b","seq":10,"started":"2026-12-08T11:00:00.000+01:00","status":"unplugged","message":"Time out","file":"boot.kvt","sha256":"77aa"})",
            R"({"id":"d2-3","station":"line-b","seq":11,"started":"2026-12-08T10:30:00.000Z","status":"stopped","file":"loose.kvt"})"};
        a.appendRaw(day2.join('\n').toUtf8() + '\n');
        // Day 3, line-c over two hours: hub slots (1.1.9 labelled C4), one
        // image under two file names, time-outs that differ by their block.
        const QStringList day3{
            R"({"station":"line-c","seq":1,"slot":"pci-0000:00:14.0-usb-0:1.1.7:1.0-port0","started":"2026-12-09T08:07:00Z","sha256":"5f3a","file":"app-v2.kvt","status":"ok","duration_ms":30000})",
            R"({"station":"line-c","seq":2,"slot":"pci-0000:00:14.0-usb-0:1.1.7:1.0-port0","started":"2026-12-09T08:14:00Z","sha256":"5f3a","file":"app.kvt","status":"ok","duration_ms":30000})",
            R"({"station":"line-c","seq":3,"slot":"pci-0000:00:14.0-usb-0:1.1.7:1.0-port0","started":"2026-12-09T08:21:00Z","sha256":"5f3a","file":"app-v2.kvt","status":"timeout","message":"Time out: no answer to block 12"})",
            R"({"station":"line-c","seq":4,"slot":"pci-0000:00:14.0-usb-0:1.1.7:1.0-port0","started":"2026-12-09T08:28:00Z","sha256":"5f3a","file":"app.kvt","status":"timeout","message":"Time out: no answer to block 13"})",
            R"({"station":"line-c","seq":5,"slot":"pci-0000:00:14.0-usb-0:1.1.8:1.0-port0","started":"2026-12-09T09:35:00Z","sha256":"5f3a","file":"app-v2.kvt","status":"ok","duration_ms":30000})",
            R"({"station":"line-c","seq":6,"slot":"pci-0000:00:14.0-usb-0:1.1.8:1.0-port0","started":"2026-12-09T09:42:00Z","sha256":"5f3a","file":"app.kvt","status":"ok","duration_ms":30000})",
            R"({"station":"line-c","seq":7,"slot":"pci-0000:00:14.0-usb-0:1.1.9:1.0-port0","started":"2026-12-09T09:49:00Z","sha256":"5f3a","file":"app-v2.kvt","status":"ok","duration_ms":30000,"label":"C4"})"};
        a.appendRaw(day3.join('\n').toUtf8() + '\n');
        kvtRecords({"import", path, database});
        // 5f3a is released on day 3 at 08:15 and withdrawn at 09:40; 77aa never is.
        withDatabase(database.mid(11), [](const QSqlDatabase &db) {
            QString error;
            QVERIFY(releaseAt(db, "5f3a", "2026-12-09T08:15:00.000Z"));
            QVERIFY(
                records::withdrawRelease(db, "5f3a", "2026-12-09T09:40:00.000Z", "bob", &error));
        });
        return database;
    }

private slots:
    void initTestCase() { startPostgres(); }

    // A journal is taken with its torn lines and records no count can place;
    // a file that is mostly something else is refused whole, unless forced. A
    // second import adds nothing: a record without an id gets the same one
    // each time.
    void importRefuses_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("imported");
        QTest::addColumn<QStringList>("told"); // all in what it printed
        const QByteArray markdown = readFile(qEnvironmentVariable("KVT_SOURCE_DIR") + "/README.md");
        QVERIFY(!markdown.isEmpty());
        const QByteArray record = "{\"id\":\"r1\",\"station\":\"line3\",\"status\":\"ok\"}\n";
        const QByteArray torn = "{\"seq\":4,\n";
        const QByteArray unplaceable = "{\"id\":\"r2\",\"station\":null,\"status\":\"ok\"}\n"
                                       "{\"id\":\"r3\",\"station\":\"line3\"}\n";
        const QString refused =
            " lines that are not records: not a journal; nothing imported (--force imports "
            "its records anyway)\n";
        const auto row = [](const char *tag, const QByteArray &content, int status, int imported,
                            const QStringList &told, const QStringList &options = {}) {
            QTest::newRow(tag) << content << options << status << imported << told;
        };
        row("README", markdown, ExitBadJournal, 0, {".md: 1 record and ", refused});
        row("README, forced", markdown, ExitSuccess, 1, {": 1 record, 1 new"}, {"--force"});
        row("empty", "", ExitBadJournal, 0, {": empty: not a journal"});
        row("only torn lines", torn + torn + torn, ExitBadJournal, 0,
            {": no record and 3" + refused});
        row("two torn lines", record + torn + torn, ExitSuccess, 1, {"2 damaged line(s) skipped"});
        // Neither an object nor a blank line is a record; the blank one is no damage either.
        row("no id, not an object, torn last",
            record + "{\"schema\":1,\"station\":\"line3\",\"status\":\"ok\"}\n" + torn + CsvHard +
                "\n[1,2]\n\n{\"seq\":4,",
            ExitSuccess, 3,
            {": 3 records, 3 new, 0 already in the database, 3 damaged line(s) skipped"});
        row("three torn lines", record + torn + torn + torn, ExitBadJournal, 0,
            {": 1 record and 3" + refused});
        row("no station, no status", record + unplaceable + QByteArray(record).replace("r1", "r4"),
            ExitSuccess, 2,
            {": 2 records, 2 new, 0 already", ", 2 lines without a station or status skipped"});
    }

    void importRefuses()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, options);
        QFETCH(QStringList, told);
        const QString database = databaseOption("sqlite");
        const QString path = folder_.filePath(QStringLiteral("given-%1.md").arg(databases_));
        StationJournal(path, "").appendRaw(content);
        const Run run = kvtRecords(QStringList{"import", path, database} + options);
        QTEST(run.status, "status");
        QTEST(int(idsInDatabase(database.mid(11)).size()), "imported");
        for (const QString &fragment : told)
            QVERIFY2((run.out + run.err).contains(fragment), qPrintable(run.out + run.err));
        QTEST(kvtRecords(QStringList{"import", path, database} + options).status, "status");
        QTEST(int(idsInDatabase(database.mid(11)).size()), "imported");
    }

    void exportQuotesWhatCsvNeeds()
    {
        const QString database = databaseOption("sqlite");
        const QString path = folder_.filePath("csv.jsonl");
        StationJournal(path, "").appendRaw(CsvHard + QByteArray("\n"));
        kvtRecords({"import", path, database});
        QCOMPARE(kvtRecords({"export", "--csv", database}).out,
                 "id,station,seq,slot,label,usb_serial,file,sha256,status,message,started,ended,"
                 "duration_ms\r\nc1,\"line, 3\",1,s,,A1,,,refused,\"NAK \"\"block 3\"\"\","
                 "2026-12-07T09:00:00.000Z,,900\r\n");
    }

    void find_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<int>>("seqs"); // of the records found, in order

        for (const QString backend : {"postgresql", "sqlite"}) {
            const QByteArray tag = backend.toLatin1() + ", ";
            QTest::newRow(tag + "USB serial") << backend << "line3-SN5" << QList<int>{5};
            QTest::newRow(tag + "id prefix") << backend << "@7" << QList<int>{7};
            QTest::newRow(tag + "slot, newest first")
                << backend << "slot-3" << QList<int>{19, 11, 3};
            QTest::newRow(tag + "label") << backend << "batch-7" << QList<int>{21};
            QTest::newRow(tag + "slot by its hub port") << backend << "1.1.7" << QList<int>{22};
            QTest::newRow(tag + "slot by parts") << backend << "usb-0:1.1.17" << QList<int>{23};
            QTest::newRow(tag + "not a whole part") << backend << "1.1" << QList<int>{};
            QTest::newRow(tag + "a part's tail") << backend << "1.7" << QList<int>{};
            QTest::newRow(tag + "sha256, 8 digits") << backend << "9B0E4471" << QList<int>{22};
            QTest::newRow(tag + "sha256, 7 digits") << backend << "9b0e447" << QList<int>{};
        }
    }

    void find()
    {
        QFETCH(QString, backend);
        QFETCH(QString, text);
        const QString database = databaseOption(backend);
        StationJournal journal(folder_.filePath(QStringLiteral("find-%1.jsonl").arg(databases_)),
                               "line3");
        for (int i = 0; i < 20; ++i)
            journal.append();
        journal.appendRaw(
            R"({"id":"b7","label":"batch-7","seq":21,"started":"2026-12-08T09:00:00Z",)"
            R"("station":"line3","status":"ok"})"
            "\n");
        journal.appendRaw(R"({"seq":22,"sha256":"9b0e4471c2aa18d3","slot":"pci-0000:00:14.0-)"
                          R"(usb-0:1.1.7:1.0-port0","station":"line3","status":"ok"})"
                          "\n"
                          R"({"seq":23,"sha256":"9b0e4470","slot":"pci-0000:00:14.0-usb-0:1.1.)"
                          R"(17:1.0-port0","station":"line3","status":"ok"})"
                          "\n");
        kvtRecords({"import", journal.path(), database});
        if (text == "@7")
            text = journal.ids()[6].left(8);

        const Run found = kvtRecords({"find", text, "--json", database});
        const QStringList written = QString::fromUtf8(readFile(journal.path())).split('\n');
        QList<int> seqs;
        for (const QString &line : found.lines()) {
            seqs.append(QJsonDocument::fromJson(line.toUtf8()).object().value("seq").toInt());
            QVERIFY2(written.contains(line), qPrintable(line)); // exactly as the journal holds it
        }
        QTEST(seqs, "seqs");
        QCOMPARE(found.status, seqs.isEmpty() ? int(ExitNothingFound) : int(ExitSuccess));
        QCOMPARE(found.err, seqs.isEmpty() ? "kvt-records: no records match " + text + '\n' : "");
    }

    void summary_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("groups");

        // One group as --json prints it; images with the boards flashed while
        // they were not released: all but 5f3a's three on day 3 between its
        // release and its withdrawal.
        const auto group = [](const char *name, int boards, int ok, int failed, int stopped,
                              const char *medianMs, const char *yield, const char *pace = "") {
            const QString unreleased =
                QString(name).contains(".kvt")
                    ? QString(R"("unreleased":%1,)")
                          .arg(QString(name) == "app-v2.kvt, app.kvt 5f3a" ? 4 : boards)
                    : "";
            return QString::asprintf(R"({"boards":%d,%s"failed":%d,"group":"%s","median_ms":%s,)"
                                     R"("ok":%d,"stopped":%d,%s"yield":%s})",
                                     boards, pace, failed, name, medianMs, ok, stopped,
                                     qPrintable(unreleased), yield);
        };
        const QString day1 = group("2026-12-07", 8, 4, 2, 2, "30000", "0.6666666666666666");
        const QString day2 = group("2026-12-08", 3, 1, 1, 1, "30000", "0.5");
        const QString day3 = group("2026-12-09", 7, 5, 2, 0, "30000", "0.7142857142857143");
        for (const QString backend : {"postgresql", "sqlite"}) {
            const auto row = [&](const char *name, const QStringList &options) -> QTestData & {
                return QTest::addRow("%s, %s", qPrintable(backend), name) << backend << options;
            };
            row("by day", {}) << QStringList{day1, day2, day3};
            // Boards per hour in which the station flashed: line-b's two
            // boards of day 2 share an hour, line-c's seven span two.
            row("by station", {"--by", "station"}) << QStringList{
                group("line-a", 5, 4, 1, 0, "30000", "0.8", R"("boards_per_hour":5,)"),
                group("line-b", 6, 1, 2, 3, "30000", "0.3333333333333333",
                      R"("boards_per_hour":3,)"),
                group("line-c", 7, 5, 2, 0, "30000", "0.7142857142857143",
                      R"("boards_per_hour":3.5,)")};
            row("by image, one with no ok board",
                {"--by", "image", "--since", "2026-12-08", "--until", "2026-12-09"})
                << QStringList{group("app.kvt 5f3a", 1, 1, 0, 0, "30000", "1"),
                               group("boot.kvt 77aa", 1, 0, 1, 0, "null", "0"),
                               group("loose.kvt", 1, 0, 0, 1, "null", "null")};
            row("by image, one image under two names", {"--by", "image", "--since", "2026-12-09"})
                << QStringList{group("app-v2.kvt, app.kvt 5f3a", 7, 5, 2, 0, "30000",
                                     "0.7142857142857143")};
            row("by slot, short names or the label", {"--by", "slot", "--since", "2026-12-09"})
                << QStringList{group("line-c 1.1.7", 4, 2, 2, 0, "30000", "0.5"),
                               group("line-c 1.1.8", 2, 2, 0, 0, "30000", "1"),
                               group("line-c C4", 1, 1, 0, 0, "30000", "1")};
        }
    }

    // The table and the report of all the days also show the most frequent
    // failure causes, messages that differ by a number merged; the report is
    // one page that needs nothing from outside, its failed boards newest first.
    void summary()
    {
        QFETCH(QString, backend);
        QFETCH(QStringList, options);
        QFETCH(QStringList, groups);
        const QString database = summaryDatabase(backend);
        const Run json = kvtRecords(QStringList{"summary", "--json", database} + options);
        QCOMPARE(json.status, int(ExitSuccess));
        QCOMPARE(json.lines(), groups);
        if (!options.isEmpty())
            return;
        const Run table = kvtRecords(QStringList{"summary", database});
        QVERIFY(kvtRecords({"summary", "--by", "image", database}).out.contains("\nunreleased: "));
        QVERIFY2(table.out.contains("most frequent failures:\n     3  Time out\n     2  Time out: "
                                    "no answer to block N\n"),
                 qPrintable(table.out));
        const QString page = folder_.filePath(backend + "-report.html");
        QCOMPARE(kvtRecords({"report", "--html", page, database}).status, int(ExitSuccess));
        const QString html = QString::fromUtf8(readFile(page));
        QVERIFY(html.contains("<svg") && html.contains("</html>"));
        QCOMPARE(html.count("<rect"), 3); // one bar per day
        for (const char *outside : {"<script", "src=", "href=", "@import", "url("})
            QVERIFY2(!html.contains(outside), outside);
        // No image was released: each image's boards are marked.
        for (const char *shown : {"line-b", "boot.kvt 77aa", "66.7 %", "block N", "line-c 1.1.7",
                                  "app-v2.kvt, app.kvt 5f3a", "below 95 %", "<th>not released</th>",
                                  "<td class=bad>1 &#9888;</td></tr>"})
            QVERIFY2(html.contains(shown), shown);
        QVERIFY(html.indexOf("block 13") < html.indexOf("block 12"));
    }

    // The SQL init prints must work, and the role it makes may add records but
    // not change or delete them.
    void stationRoleMayOnlyReadAndInsert()
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
        const QString asStation = "--database=" + postgres_.url(name, "line_station");
        const QString path = folder_.filePath("role.jsonl");
        StationJournal(path, "line3").append();
        const Run imported = kvtRecords({"import", path, asStation});
        QVERIFY2(imported.status == ExitSuccess, qPrintable(imported.err));
        QCOMPARE(kvtRecords({"find", "line3", asStation}).status, int(ExitSuccess));
        QVERIFY(
            postgres_.exec("SELECT COUNT(*) FROM image_releases", name, nullptr, "line_station"));
        for (const char *sql :
             {"DELETE FROM board_records", "UPDATE board_records SET status = 'ok'",
              "INSERT INTO image_releases VALUES ('a', 'f', 1, 't', 'u')",
              "UPDATE image_releases SET withdrawn = 't'"})
            QVERIFY2(!postgres_.exec(sql, name, nullptr, "line_station"), sql);
    }

    void badInput_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("told");
        const auto row = [](const char *tag, const QStringList &arguments, const QString &told,
                            int status = ExitUsage) {
            QTest::newRow(tag) << arguments << status << told;
        };
        const QString sqlite = "--database=sqlite:" + folder_.filePath("bad.sqlite");
        const QString journal = folder_.filePath("none.jsonl");
        kvtRecords({"init", sqlite});
        row("no command", {}, "name a command");
        row("unknown command", {"list"}, "unknown command");
        row("unknown option", {"summary", "--colour"}, "colour");
        row("bad URL", {"summary", "--database=mysql://h/db"}, "expected sqlite:PATH");
        row("server unreachable",
            {"summary", "--database=postgresql:///r?host=" + folder_.filePath("none")},
            "cannot connect to PostgreSQL database r", ExitDatabase);
        row("missing journal", {"import", journal, sqlite}, "cannot read " + journal,
            ExitBadJournal);
        row("import of nothing", {"import", sqlite}, "name the journal");
        row("bad --since", {"summary", "--since", "monday", sqlite}, "bad time 'monday'");
        row("bad --by", {"summary", "--by", "week", sqlite}, "'week'");
        row("find two words", {"find", "a", "b", sqlite}, "one text");
        row("export without a format", {"export", sqlite}, "--csv");
        row("report without a file", {"report", sqlite}, "--html");
        row("report not writable", {"report", "--html", folder_.filePath("no/such/r.html"), sqlite},
            "cannot write", ExitBadOutput);
        // A mistyped path must not read as a factory without boards, nor
        // take an import where no one looks: only init makes a SQLite file
        // (every other test's database is made so), and every command but
        // init takes the same way past that check.
        const QString missing = folder_.filePath("missing.sqlite");
        row("no database", {"import", journal, "--database=sqlite:" + missing},
            QStringLiteral("kvt-records: no database at %1: kvt-records init --database "
                           "sqlite:%1 makes one\n")
                .arg(missing),
            ExitDatabase);
    }

    void badInput()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, told);
        const Run run = kvtRecords(arguments);
        QTEST(run.status, "status");
        QVERIFY2(run.err.contains(told), qPrintable(run.err));
        QVERIFY(!QFileInfo::exists(folder_.filePath("missing.sqlite")));
    }
};

QTEST_GUILESS_MAIN(TestRecordsTool)
#include "tst_recordstool.moc"
