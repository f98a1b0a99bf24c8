// The records library's pure parts: database URLs, the journal's last seq, a
// record's identity and what makes one, time bounds and what the database's
// state reads. What makes a journal, failure causes and slot names are checked
// through kvt-records (tst_recordstool).

#include "records/boardrecord.h"
#include "records/databaseurl.h"
#include "records/forwarder.h"
#include "records/journal.h"
#include "records/summary.h"
#include "testdata.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using namespace records;

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    // Either the fields (kind|path or host|port|user|database|options) or "!"
    // and what the refusal tells, which never repeats the password.
    void databaseUrl_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *tag, const char *text, const char *expected) {
            QTest::newRow(tag) << QString(text) << QString(expected);
        };
        row("sqlite file", "sqlite:/var/lib/kvt/r.sqlite", "sqlite|/var/lib/kvt/r.sqlite|-1|||");
        row("sqlite three slashes", "sqlite:///srv/r.sqlite", "sqlite|/srv/r.sqlite|-1|||");
        row("tcp, all fields", "postgresql://station@db.factory:6543/records?sslmode=verify-full",
            "pg|db.factory|6543|station|records|sslmode=verify-full");
        row("postgres scheme", "postgres://db.factory/records", "pg|db.factory|-1||records|");
        row("socket folder in the query", "postgresql:///records?host=/run/postgresql",
            "pg|/run/postgresql|-1||records|");
        row("socket folder percent-encoded", "postgresql://%2Frun%2Fpostgresql/records",
            "pg|/run/postgresql|-1||records|");
        row("query fields override",
            "postgresql://a@h/db?user=b&port=5433&dbname=other&connect_timeout=2",
            "pg|h|5433|b|other|connect_timeout=2");
        row("ipv6 address", "postgresql://[::1]:5432/r", "pg|::1|5432||r|");
        row("unknown scheme", "mysql://h/db", "!expected sqlite:PATH");
        row("sqlite without a file", "sqlite:", "!no file");
        row("password in the URL", "postgresql://u:secret@h/db", "!.pgpass");
        row("password in the query", "postgresql://h/db?password=secret", "!.pgpass");
        row("password in a URL that is wrong too", "postgresql://u:secret@h:port/db",
            "!bad database URL 'postgresql://u:***@h:port/db'");
        row("bad port", "postgresql://h/db?port=99999", "!bad port");
        row("path below the database", "postgresql://h/db/x", "!bad database name");
        row("separator in an option", "postgresql://h/db?application_name=a;b", "!';'");
    }

    void databaseUrl()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        DatabaseUrl url;
        QString error;
        const bool parsed = parseDatabaseUrl(text, &url, &error);
        QVERIFY(!withoutSecrets(text).contains("secret"));
        if (expected.startsWith('!')) {
            QVERIFY(!parsed);
            QVERIFY2(error.contains(expected.mid(1)) && !error.contains("secret"),
                     qPrintable(error));
            return;
        }
        QVERIFY2(parsed, qPrintable(error));
        const bool sqlite = url.kind == DatabaseUrl::Kind::Sqlite;
        QCOMPARE(QString("%1|%2|%3|%4|%5|%6")
                     .arg(sqlite ? "sqlite" : "pg", sqlite ? url.path : url.host)
                     .arg(url.port)
                     .arg(url.user, url.database, url.options.join(',')),
                 expected);
    }

    // A record read and written again holds what it held: fields it knows,
    // fields it does not, and known fields of an unexpected type. Its
    // identity is its id, or one made of its content whatever the key order.
    void boardRecord_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("why"); // empty: a record the database can hold
        QTest::addColumn<QString>("identity");
        const auto row = [](const char *tag, const char *line, const char *why, const char *id) {
            QTest::newRow(tag) << QByteArray(line) << QString(why) << QString(id);
        };
        row("a station's record",
            R"({"acknowledged":6145,"bytes":6145,"duration_ms":1200,"id":"b1","label":"C2",)"
            R"("seq":3,"station":"line3","status":"ok","usb":{"serial":"A1","vid":"0403"}})",
            "", "b1");
        row("unknown and mistyped fields",
            R"({"colour":"x","seq":"7","station":"l","status":"ok"})", "", "content");
        row("the board named, its boot line",
            R"({"board":"KV-0042","boot":{"line":"kvt app 1.4 id KV-0042","ms":830},"id":"b2",)"
            R"("scanned":"L-9","station":"l","status":"ok"})",
            "", "b2");
        row("a boot line without its time",
            R"({"boot":{"line":"up"},"id":"b3","station":"l",)"
            R"("status":"ok"})",
            "", "b3");
        row("boot lines it cannot hold",
            R"({"boot":{"line":"up","ms":-1},"id":"b4","station":"l",)"
            R"("status":"ok","x":{"boot":{}}})",
            "", "b4");
        row("boot empty, board mistyped",
            R"({"board":7,"boot":{},"id":"b5","station":"l",)"
            R"("status":"ok"})",
            "", "b5");
        row("station blank", R"({"station":" ","status":"ok"})", "no station", "content");
        row("no status", R"({"id":"c9","station":"a"})", "no status", "c9");
    }

    void boardRecord()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, why);
        QFETCH(QString, identity);
        BoardRecord record;
        QVERIFY(BoardRecord::fromLine(line, &record));
        QCOMPARE(record.toJson(), QJsonDocument::fromJson(line).object());
        if (QTest::currentDataTag() == QByteArray("the board named, its boot line"))
            QVERIFY(record.board == "KV-0042" && record.scanned == "L-9" && record.boot.ms == 830 &&
                    record.boot.line == "kvt app 1.4 id KV-0042");
        QString reason;
        QCOMPARE(record.isValid(&reason), why.isEmpty());
        QCOMPARE(reason, why);
        if (identity != "content") {
            QCOMPARE(record.identity(), identity);
            return;
        }
        QVERIFY(!QUuid::fromString(record.identity()).isNull());
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        QJsonObject reordered; // QJsonObject sorts its keys: the same content
        for (auto it = object.end(); it != object.begin();)
            --it, reordered.insert(it.key(), it.value());
        QCOMPARE(BoardRecord::fromJson(reordered).identity(), record.identity());
        reordered.insert("status", "timeout");
        QVERIFY(BoardRecord::fromJson(reordered).identity() != record.identity());
    }

    void lastSeqOfAJournal_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<qint64>("seq");

        const auto row = [](const char *tag, const QByteArray &contents, qint64 seq) {
            QTest::newRow(tag) << contents << seq;
        };
        row("no file", "", -1);
        row("last line torn", "{\"seq\":4}\n{\"seq\":5}\n{\"se", 5);
        row("schema 1 only", "{\"schema\":1}\n", -1);
        const QByteArray padding = "{\"schema\":1,\"pad\":\"" + QByteArray(200, 'x') + "\"}\n";
        row("long journal", "{\"seq\":1}\n" + padding.repeated(1000) + "{\"seq\":1001}\n", 1001);
    }

    void lastSeqOfAJournal()
    {
        QFETCH(QByteArray, contents);
        const QString path = folder_.filePath(QTest::currentDataTag());
        QVERIFY(contents.isEmpty() || testdata::writeFile(path, contents));
        QTEST(lastSeq(path), "seq");
    }

    void defaultPaths()
    {
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", "/srv/state");
        QCOMPARE(defaultJournalPath(), QString("/srv/state/kvt/records.jsonl"));
        QCOMPARE(defaultDatabaseUrl(), QString("sqlite:/srv/state/kvt/records.sqlite"));
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(defaultJournalPath(), QDir::homePath() + "/.local/state/kvt/records.jsonl");
        qputenv("XDG_STATE_HOME", saved);
    }

    void timeBound_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("bound"); // empty: refused
        const auto row = [](const char *text, const char *bound) {
            QTest::newRow(text) << QString(text) << QString(bound);
        };
        row("2026-12-07T09:30", "2026-12-07T09:30:00.000Z"); // UTC
        row("2026-12-07T10:30:00+01:00", "2026-12-07T09:30:00.000Z");
        row("2d", "2026-12-05T12:00:00.000Z"); // back from 12:00 on the 7th
        row("12h", "2026-12-07T00:00:00.000Z");
        row("30min", "2026-12-07T11:30:00.000Z");
        row("12", ""); // no unit
        row("2026-13-40", "");
    }

    void timeBound()
    {
        QFETCH(QString, text);
        QFETCH(QString, bound);
        const QDateTime now(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);
        QString result, error;
        QCOMPARE(parseTimeBound(text, now, &result, &error), !bound.isEmpty());
        if (bound.isEmpty())
            QVERIFY2(error.contains(text), qPrintable(error));
        else
            QCOMPARE(result, bound);
    }

    void databaseMessage_data()
    {
        QTest::addColumn<ForwarderStatus>("status");
        QTest::addColumn<QString>("message");
        const auto row = [](int pending, qint64 ageMs, const char *reason, bool twin,
                            const char *message) {
            ForwarderStatus status;
            status.pending = pending;
            status.oldestAgeMs = ageMs;
            status.reason = reason;
            status.twin = twin;
            status.station = "line3";
            QTest::addRow("%d, %lld ms, %s", pending, ageMs, reason) << status << QString(message);
        };
        row(0, 0, "", false, "");
        row(1, 20000, "down", false,
            "1 record not yet in the database (oldest under a minute): down");
        row(12, 12 * 60000 + 5, "refused", false,
            "12 records not yet in the database (oldest 12 min): refused");
        row(300, 5 * 3600000, "x", false, "300 records not yet in the database (oldest 5 h): x");
        row(3, 0, "", false, "3 records not yet in the database (oldest under a minute)");
        // Told at start, before any board has ended.
        row(0, 0, "no such user", false,
            "the database cannot be used: no such user; records wait in the journal");
        row(0, 0, "", true,
            "another station named line3 forwards into the same database: give each station "
            "its own --station name");
    }

    void databaseMessage()
    {
        QFETCH(ForwarderStatus, status);
        QTEST(records::databaseMessage(status), "message");
    }

private:
    QTemporaryDir folder_;
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
