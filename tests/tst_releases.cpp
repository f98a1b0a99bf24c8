// Only released images, and boards found by their own identity: kvt-records
// release, withdraw and releases; what a station asks through its forwarder
// (whether the image is still released, and whether a board was flashed ok
// before; tst_proof asks at start, through kvt-flash); a records table from
// before boards were named. The boards of unreleased images in the summary
// and the report: tst_recordstool.

#include "recordsfixture.h"

#include "records/releases.h"

#include <QtTest>

using namespace records;
using namespace recordstool;

namespace {

// The records table as it was made before boards were named.
const char *const OldTableSql =
    "CREATE TABLE board_records (id TEXT PRIMARY KEY, station TEXT NOT NULL, seq BIGINT, "
    "slot TEXT, label TEXT, usb_serial TEXT, file TEXT, sha256 TEXT, status TEXT NOT NULL, "
    "message TEXT, started TEXT, ended TEXT, duration_ms BIGINT, record %1 NOT NULL)";

BoardRecord boardRecord(const QString &id, const QString &station, const QString &board,
                        const QString &scanned, const QString &sha256, const QString &ended,
                        const QString &status = "ok")
{
    BoardRecord record;
    record.id = id;
    record.station = station;
    record.board = board;
    record.scanned = scanned;
    record.sha256 = sha256;
    record.started = record.ended = ended;
    record.status = status;
    return record;
}

// The boards priorOk looks among: KV-1 flashed ok twice with image aa, KV-2
// failed with it, KV-3 ok with image bb, a board known by its label alone.
const QVector<BoardRecord> FlashedBoards{
    boardRecord("r1", "line1", "KV-1", "L-1", "aa", "2026-12-07T09:00:00.000Z"),
    boardRecord("r2", "line2", "KV-1", "", "aa", "2026-12-07T10:00:00.000Z"),
    boardRecord("r3", "line1", "KV-2", "L-2", "aa", "2026-12-07T11:00:00.000Z", "timeout"),
    boardRecord("r4", "line1", "KV-3", "", "bb", "2026-12-07T11:00:00.000Z"),
    boardRecord("r5", "line5", "", "L-5", "aa", "2026-12-07T12:00:00.000Z")};

// A release made by the library, at a time of the test's choosing.
bool releaseAt(const QSqlDatabase &db, const QString &sha256, const QString &released)
{
    bool added = false;
    ImageRelease existing;
    QString error;
    return addRelease(db, {sha256, "app.kvt", 1024, released, "ann", {}, {}, {}}, &added, &existing,
                      &error) &&
           added;
}

void insertRecords(const QString &url, const QVector<BoardRecord> &records)
{
    withDatabase(url, [&](const QSqlDatabase &db) {
        QString error;
        QVERIFY2(RecordStore(db).insert(records, &error), qPrintable(error));
    });
}

} // namespace

class TestReleases : public RecordsTestBase
{
    Q_OBJECT

    // A firmware image of its own content at `name` in the test's folder.
    QString writeImage(const QString &name, const QByteArray &content)
    {
        const QString path = folder_.filePath(name);
        QFile::remove(path);
        StationJournal(path, "").appendRaw(QByteArray::fromHex("00400020") + content);
        return path;
    }
    // A SQLite file that cannot be made (its folder is a file), or a server
    // that is not there.
    QString unreachable(const QString &backend)
    {
        StationJournal(folder_.filePath("blocker"), "").appendRaw("");
        return backend == "sqlite" ? "sqlite:" + folder_.filePath("blocker/r.sqlite")
                                   : "postgresql:///r?host=" + folder_.filePath("none");
    }

private slots:
    void initTestCase()
    {
        startPostgres();
        qputenv("USER", "ann");
    }

    // Stations insert into a table from before boards were named, which their
    // role may not change, and find reads the boards from the records' JSON;
    // the owner's init adds the columns and fills them from the rows.
    void olderTable_data() { backends(); }
    void olderTable()
    {
        QFETCH(QString, backend);
        const QString owner = newDatabase(backend, false);
        QString station = owner;
        withDatabase(owner, [&](const QSqlDatabase &db) {
            QSqlQuery(db).exec(QString(OldTableSql).arg(backend == "sqlite" ? "TEXT" : "JSONB"));
        });
        if (backend != "sqlite") {
            const QString name = databaseName(databases_);
            for (const char *sql : {"CREATE ROLE old_station LOGIN",
                                    "GRANT SELECT, INSERT ON board_records TO old_station"})
                postgres_.exec(sql, name);
            station.replace("user=postgres", "user=old_station");
        }
        insertRecords(station, FlashedBoards);
        QCOMPARE(kvtRecords({"find", "KV-1", "--database=" + station}).lines().size(), 3);
        QCOMPARE(kvtRecords({"find", "L-5", "--database=" + station}).lines().size(), 2);
        withDatabase(station, [&](const QSqlDatabase &db) {
            QVERIFY(!hasIdentityColumns(db));
            PriorOk answer;
            QString error;
            QVERIFY2(records::priorOk(db, {"q", "KV-1", "", "aa"}, &answer, &error),
                     qPrintable(error));
            QCOMPARE(answer.station, "line2");
        });
        const Run init = kvtRecords({"init", "--database=" + owner});
        QVERIFY2(init.status == ExitSuccess, qPrintable(init.err));
        withDatabase(owner, [&](const QSqlDatabase &db) {
            QVERIFY(hasIdentityColumns(db));
            QSqlQuery query(db);
            query.exec("SELECT id, board, scanned FROM board_records WHERE board IS NOT NULL OR "
                       "scanned IS NOT NULL ORDER BY id");
            QStringList rows;
            while (query.next())
                rows << query.value(0).toString() + ' ' + query.value(1).toString() + ' ' +
                            query.value(2).toString();
            QCOMPARE(rows, QStringList(
                               {"r1 KV-1 L-1", "r2 KV-1 ", "r3 KV-2 L-2", "r4 KV-3 ", "r5  L-5"}));
        });
        const Run found = kvtRecords({"find", "KV-3", "--database=" + station}, true);
        QVERIFY2(found.lines().size() == 2 && found.lines()[1].contains("KV-3"),
                 qPrintable(found.out));
    }

    // Each step on the same database, in order: what it exits with and says.
    void releaseCommands_data() { backends(); }
    void releaseCommands()
    {
        QFETCH(QString, backend);
        const QString database = databaseOption(backend);
        const QString image = writeImage("app.kvt", "version 1.4");
        const QString copy = writeImage("app-copy.kvt", "version 1.4");
        const QString notes = folder_.filePath("notes.txt");
        StationJournal(notes, "").appendRaw("not an image\n");
        const QString sha =
            QCryptographicHash::hash(QByteArray::fromHex("00400020") + "version 1.4",
                                     QCryptographicHash::Sha256)
                .toHex();
        withDatabase(database.mid(11), [](const QSqlDatabase &db) {
            for (const char *twin : {"abcdef0100", "abcdef01ff"})
                QVERIFY(releaseAt(db, twin, "2026-12-01T08:00:00.000Z"));
        });
        const struct
        {
            QStringList arguments;
            int status;
            QString told;
        } steps[] = {
            {{"release", image, "--note", "line 3 only"},
             ExitSuccess,
             "Released app.kvt (sha256 " + sha},
            {{"release", copy}, ExitSuccess, "Already released, nothing changed: app.kvt"},
            {{"release", folder_.filePath("none.kvt")}, ExitBadJournal, "no such file"},
            {{"release", notes}, ExitBadJournal, "not a firmware image"},
            {{"withdraw", sha.left(8).toUpper()}, ExitSuccess, "Withdrew app.kvt (sha256 " + sha},
            {{"withdraw", sha}, ExitSuccess, "Already withdrawn, nothing changed"},
            {{"release", image}, ExitSuccess, "Already released, nothing changed"},
            {{"withdraw", "deadbeef"},
             ExitNothingFound,
             "no release's sha256 starts with deadbeef"},
            {{"withdraw", "abcdef01"}, ExitNothingFound, "2 releases' sha256 start with abcdef01"},
            {{"withdraw", "abcdef0"}, ExitUsage, "8 or more hex digits"},
            {{"releases"}, ExitSuccess, "WITHDRAWN "},
            {{"releases", "--json"}, ExitSuccess, "\"note\":\"line 3 only\",\"released\":\""},
            {{"releases", "--json"}, ExitSuccess, "\"released_by\":\"ann\",\"sha256\":\"" + sha},
            {{"releases", "--json"}, ExitSuccess, "\"withdrawn_by\":\"ann\"}"},
        };
        for (const auto &step : steps) {
            const Run run = kvtRecords(step.arguments + QStringList{database});
            QVERIFY2(run.status == step.status && (run.out + run.err).contains(step.told),
                     qPrintable(step.arguments.join(' ') + ": " + run.out + run.err));
        }
    }

    // A station held to released images asks once at start, where a
    // database out of reach cannot tell. While the station runs, its
    // forwarder reads the release again: a withdrawal shows with who made
    // it, and so does a database out of reach, then the state again once it
    // is back, and a database without releases.
    void forwarderTellsAWithdrawal_data() { backends(); }
    void forwarderTellsAWithdrawal()
    {
        QFETCH(QString, backend);
        DatabaseUrl away;
        ReleaseState atStart;
        QString why;
        QVERIFY(parseDatabaseUrl(unreachable(backend), &away, &why));
        releaseState(away, "aa", &atStart, &why);
        QVERIFY2(releaseStateText(atStart).startsWith("cannot tell whether it is released: "),
                 qPrintable(releaseStateText(atStart)));
        const QString url = newDatabase(backend);
        withDatabase(url, [](const QSqlDatabase &db) {
            QVERIFY(releaseAt(db, "aa", "2026-12-01T08:00:00.000Z"));
        });
        Probe probe(folder_.filePath(backend + "-watch.jsonl"), url, 50,
                    [](Forwarder &forwarder) { forwarder.watchRelease("aa", 100); });
        const auto told = [&probe] { return int(probe.last.release.kind); };
        const auto text = [&probe] { return releaseStateText(probe.last.release); };
        QTRY_COMPARE_WITH_TIMEOUT(told(), int(ReleaseState::Released), 10000);
        withDatabase(url, [](const QSqlDatabase &db) {
            QString error;
            QVERIFY(withdrawRelease(db, "aa", "2026-12-08T09:00:00.000Z", "bob", &error));
        });
        QTRY_COMPARE_WITH_TIMEOUT(told(), int(ReleaseState::Withdrawn), 10000);
        QVERIFY2(text().contains("withdrawn 2026-12-08 09:00 by bob"), qPrintable(text()));
        if (backend != "sqlite") {
            QVERIFY(postgres_.stop());
            QTRY_COMPARE_WITH_TIMEOUT(told(), int(ReleaseState::CannotTell), 10000);
            QVERIFY(postgres_.start());
            QTRY_COMPARE_WITH_TIMEOUT(told(), int(ReleaseState::Withdrawn), 20000);
        }
        withDatabase(url, [](const QSqlDatabase &db) {
            QVERIFY(QSqlQuery(db).exec("DROP TABLE image_releases"));
        });
        QTRY_COMPARE_WITH_TIMEOUT(told(), int(ReleaseState::CannotTell), 10000);
        QVERIFY2(text().contains("no table image_releases"), qPrintable(text()));
    }

    void priorOk_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<PriorOkQuestion>("question");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("record"); // the one found
        for (const QString backend : {"postgresql", "sqlite"}) {
            const auto row = [&](const char *tag, const char *board, const char *scanned, int kind,
                                 const char *record = "") {
                QTest::addRow("%s, %s", qPrintable(backend), tag)
                    << backend << PriorOkQuestion{tag, board, scanned, "aa"} << kind << record;
            };
            row("the board, the newest of two", "KV-1", "", PriorOk::Found, "r2");
            row("its label, the board not named", "", "L-1", PriorOk::Found, "r1");
            row("another board, its label", "KV-9", "L-5", PriorOk::Found, "r5");
            row("only a failure", "KV-2", "L-2", PriorOk::None);
            row("flashed with another image", "KV-3", "", PriorOk::None);
            row("nothing named", "", "", PriorOk::None);
            row("out of reach", "KV-1", "L-1", PriorOk::CannotTell);
        }
    }

    // Asked as the station asks: through its forwarder, heard back later.
    void priorOk()
    {
        QFETCH(QString, backend);
        QFETCH(PriorOkQuestion, question);
        QFETCH(int, kind);
        QFETCH(QString, record);
        const bool reachable = kind != PriorOk::CannotTell;
        const QString url = reachable ? newDatabase(backend) : unreachable(backend);
        if (reachable)
            insertRecords(url, FlashedBoards);
        Probe probe(folder_.filePath(backend + "-prior.jsonl"), url);
        probe.forwarder.askPriorOk(question);
        const QVector<PriorOk> &answers = probe.answers;
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, 10000);
        QCOMPARE(answers[0].question.ref, question.ref);
        QCOMPARE(int(answers[0].kind), kind);
        QCOMPARE(answers[0].why.isEmpty(), reachable);
        const auto expected = std::find_if(FlashedBoards.begin(), FlashedBoards.end(),
                                           [&](const BoardRecord &r) { return r.id == record; });
        QCOMPARE(answers[0].station, record.isEmpty() ? QString() : expected->station);
        QCOMPARE(answers[0].ended, record.isEmpty() ? QString() : expected->ended);
    }
};

QTEST_GUILESS_MAIN(TestReleases)
#include "tst_releases.moc"
