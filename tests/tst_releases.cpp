// Only released images, and boards found by their own identity: kvt-records
// release, withdraw and releases; what a station is told of its image and
// of a board flashed ok before, in a records table from before boards were
// named and after. The same through kvt-flash and the forwarder: tst_proof;
// the forwarder while the server is away: tst_forwarder. The boards of
// unreleased images in the summary and the report: tst_recordstool.

#include "recordsfixture.h"

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

// Which station flashed a board ok with image aa before, by the board's own
// identity or its label: the newest such record, never a failure or another
// image's, and nothing when the board is not named at all.
void askWhoFlashedOk(const QString &url)
{
    const QVector<QPair<PriorOkQuestion, QString>> questions{
        {{"newest of two", "KV-1", "", "aa"}, "line2"},
        {{"label, board not named", "", "L-1", "aa"}, "line1"},
        {{"another board's label", "KV-9", "L-5", "aa"}, "line5"},
        {{"only a failure", "KV-2", "L-2", "aa"}, ""},
        {{"another image", "KV-3", "", "aa"}, ""},
        {{"nothing named", "", "", "aa"}, ""}};
    withDatabase(url, [&](const QSqlDatabase &db) {
        for (const auto &[question, station] : questions) {
            PriorOk answer;
            QString error;
            QVERIFY2(priorOk(db, question, &answer, &error), qPrintable(error));
            QVERIFY2(answer.kind == (station.isEmpty() ? PriorOk::None : PriorOk::Found) &&
                         answer.station == station,
                     qPrintable(question.ref + ": " + answer.station));
        }
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
        return testdata::writeFile(path, QByteArray::fromHex("00400020") + content) ? path : "";
    }
    // A SQLite file that cannot be made (its folder is a file), or a server
    // that is not there.
    QString unreachable(const QString &backend)
    {
        testdata::writeFile(folder_.filePath("blocker"), "");
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
    // role may not change, and find and the station's question read the
    // boards from the records' JSON; the owner's init adds the columns and
    // fills them from the rows, where the same question finds the same.
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
            station = postgres_.url(name, "old_station");
        }
        withDatabase(station, [](const QSqlDatabase &db) {
            QString error;
            QVERIFY2(RecordStore(db).insert(FlashedBoards, &error), qPrintable(error));
            QVERIFY(!hasIdentityColumns(db));
        });
        QCOMPARE(kvtRecords({"find", "KV-1", "--database=" + station}).lines().size(), 3);
        QCOMPARE(kvtRecords({"find", "L-5", "--database=" + station}).lines().size(), 2);
        askWhoFlashedOk(station);
        const Run init = kvtRecords({"init", "--database=" + owner});
        QVERIFY2(init.status == ExitSuccess, qPrintable(init.err));
        withDatabase(owner, [](const QSqlDatabase &db) { QVERIFY(hasIdentityColumns(db)); });
        askWhoFlashedOk(station);
        const Run found = kvtRecords({"find", "KV-3", "--database=" + station}, true);
        QVERIFY2(found.lines().size() == 2 && found.lines()[1].contains("KV-3"),
                 qPrintable(found.out));
    }

    // Each step on the same database, in order: what it exits with and says.
    // The statements are the same in both databases: releaseStates and the
    // summary add a release to each.
    void releaseCommands()
    {
        const QString database = databaseOption("sqlite");
        const QString image = writeImage("app.kvt", "version 1.4");
        const QString copy = writeImage("app-copy.kvt", "version 1.4");
        const QString notes = folder_.filePath("notes.txt");
        testdata::writeFile(notes, "not an image\n");
        const QString sha = testdata::sha256Of(QByteArray::fromHex("00400020") + "version 1.4");
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

    // What a station held to released images is told of its image: once at
    // start, where a database out of reach cannot tell, and again by its
    // forwarder while it runs: a release, who withdrew it, and a database
    // that keeps no releases.
    void releaseStates_data() { backends(); }
    void releaseStates()
    {
        QFETCH(QString, backend);
        const auto told = [](const QString &url) {
            DatabaseUrl parsed;
            ReleaseState state;
            QString why;
            parseDatabaseUrl(url, &parsed, &why);
            releaseState(parsed, "aa", &state, &why);
            return releaseStateText(state);
        };
        QVERIFY(told(unreachable(backend)).startsWith("cannot tell whether it is released: "));
        const QString url = newDatabase(backend);
        QCOMPARE(told(url), "not released");
        withDatabase(url, [](const QSqlDatabase &db) {
            QVERIFY(releaseAt(db, "aa", "2026-12-01T08:00:00.000Z"));
        });
        QVERIFY2(told(url).startsWith("released "), qPrintable(told(url)));
        withDatabase(url, [](const QSqlDatabase &db) {
            QString error;
            QVERIFY(withdrawRelease(db, "aa", "2026-12-08T09:00:00.000Z", "bob", &error));
        });
        QCOMPARE(told(url), "withdrawn 2026-12-08 09:00 by bob");
        withDatabase(url, [](const QSqlDatabase &db) {
            QVERIFY(QSqlQuery(db).exec("DROP TABLE image_releases"));
        });
        QVERIFY2(told(url).contains("no table image_releases"), qPrintable(told(url)));
    }
};

QTEST_GUILESS_MAIN(TestReleases)
#include "tst_releases.moc"
