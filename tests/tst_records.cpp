// The records library's pure parts: database URLs, the journal reader and a
// record's identity, time bounds and the backlog message.

#include "records/databaseurl.h"
#include "records/forwarder.h"
#include "records/journal.h"
#include "records/summary.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using namespace records;

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void databaseUrl_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("fields"); // kind|path or host|port|user|database|options

        QTest::newRow("sqlite file") << "sqlite:/var/lib/kvt/r.sqlite"
                                     << "sqlite|/var/lib/kvt/r.sqlite|-1|||";
        QTest::newRow("sqlite three slashes") << "sqlite:///srv/r.sqlite"
                                              << "sqlite|/srv/r.sqlite|-1|||";
        QTest::newRow("sqlite relative") << "sqlite:r.sqlite"
                                         << "sqlite|r.sqlite|-1|||";
        QTest::newRow("tcp, all fields")
            << "postgresql://station@db.factory:6543/records?sslmode=verify-full"
            << "pg|db.factory|6543|station|records|sslmode=verify-full";
        QTest::newRow("postgres scheme, defaults") << "postgres://db.factory/records"
                                                   << "pg|db.factory|-1||records|";
        QTest::newRow("socket folder in the query") << "postgresql:///records?host=/run/postgresql"
                                                    << "pg|/run/postgresql|-1||records|";
        QTest::newRow("socket folder percent-encoded") << "postgresql://%2Frun%2Fpostgresql/records"
                                                       << "pg|/run/postgresql|-1||records|";
        QTest::newRow("query fields override")
            << "postgresql://a@h/db?user=b&port=5433&dbname=other&connect_timeout=2"
            << "pg|h|5433|b|other|connect_timeout=2";
        QTest::newRow("ipv6 address") << "postgresql://[::1]:5432/r"
                                      << "pg|::1|5432||r|";
    }

    void databaseUrl()
    {
        QFETCH(QString, text);
        DatabaseUrl url;
        QString error;
        QVERIFY2(parseDatabaseUrl(text, &url, &error), qPrintable(error));
        const bool sqlite = url.kind == DatabaseUrl::Kind::Sqlite;
        const QStringList fields{sqlite ? "sqlite" : "pg",
                                 sqlite ? url.path : url.host,
                                 QString::number(url.port),
                                 url.user,
                                 url.database,
                                 url.options.join(',')};
        QTEST(fields.join('|'), "fields");
    }

    void badDatabaseUrl_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("told");

        QTest::newRow("empty") << ""
                               << "expected sqlite:PATH";
        QTest::newRow("unknown scheme") << "mysql://h/db"
                                        << "expected sqlite:PATH";
        QTest::newRow("sqlite without a file") << "sqlite:"
                                               << "no file";
        QTest::newRow("password in the URL") << "postgresql://u:secret@h/db"
                                             << ".pgpass";
        QTest::newRow("password in the query") << "postgresql://h/db?password=secret"
                                               << ".pgpass";
        QTest::newRow("bad port") << "postgresql://h/db?port=99999"
                                  << "bad port";
        QTest::newRow("path below the database") << "postgresql://h/db/x"
                                                 << "bad database name";
        QTest::newRow("separator in an option") << "postgresql://h/db?application_name=a;b"
                                                << "';'";
    }

    void badDatabaseUrl()
    {
        QFETCH(QString, text);
        QFETCH(QString, told);
        DatabaseUrl url;
        QString error;
        QVERIFY(!parseDatabaseUrl(text, &url, &error));
        QVERIFY2(error.contains(told), qPrintable(error));
        QVERIFY2(!error.contains("secret"), "the password is repeated in the message");
    }

    void journalSkipsDamagedLines()
    {
        const QString path = folder_.filePath("damaged.jsonl");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"seq\":1,\"station\":\"a\"}\n"
                   "{\"seq\":2,\"sta\n" // torn by a crash, then the next record
                   "\n"                 // blank: not a record, not damage
                   "[1,2]\n"            // JSON, but not an object
                   "{\"seq\":3,\"station\":\"a\"}\n"
                   "{\"seq\":4,\"station\":\"a\""); // torn last line
        file.close();
        JournalContents journal;
        QString error;
        QVERIFY(readJournal(path, &journal, &error));
        QCOMPARE(journal.records.size(), 2);
        QCOMPARE(journal.records[1].value("seq").toInt(), 3);
        QCOMPARE(journal.skipped, 3);
        QVERIFY(!readJournal(folder_.filePath("missing.jsonl"), &journal, &error));
        QVERIFY2(error.contains("missing.jsonl"), qPrintable(error));
    }

    void idOfARecordWithoutOne()
    {
        const QJsonObject legacy{{"station", "line3"}, {"seq", 7}, {"status", "ok"}};
        // The same content, whatever the order it was written in, is the same id.
        const QJsonObject sameContent =
            QJsonDocument::fromJson(R"({"status":"ok","seq":7,"station":"line3"})").object();
        QCOMPARE(recordId(legacy), recordId(sameContent));
        QVERIFY(!QUuid::fromString(recordId(legacy)).isNull());
        QJsonObject other = legacy;
        other["status"] = "timeout";
        QVERIFY(recordId(other) != recordId(legacy));
        QJsonObject withId = legacy;
        withId["id"] = "2b7c9a50-0000-4000-8000-000000000001";
        QCOMPARE(recordId(withId), withId["id"].toString());
    }

    void lastSeqOfAJournal_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<qint64>("seq");

        QTest::newRow("no file") << QByteArray() << qint64(-1);
        QTest::newRow("last line whole") << QByteArray("{\"seq\":4}\n{\"seq\":5}\n") << qint64(5);
        QTest::newRow("last line torn")
            << QByteArray("{\"seq\":4}\n{\"seq\":5}\n{\"se") << qint64(5);
        QTest::newRow("schema 1 only") << QByteArray("{\"schema\":1}\n") << qint64(-1);
        const QByteArray padding = "{\"schema\":1,\"pad\":\"" + QByteArray(200, 'x') + "\"}\n";
        QTest::newRow("long journal")
            << "{\"seq\":1}\n" + padding.repeated(1000) + "{\"seq\":1001}\n"
            << qint64(1001);
    }

    void lastSeqOfAJournal()
    {
        QFETCH(QByteArray, contents);
        const QString path = folder_.filePath(QTest::currentDataTag());
        if (!contents.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(contents);
        }
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

        QTest::newRow("date") << "2026-12-07"
                              << "2026-12-07T00:00:00.000Z";
        QTest::newRow("minutes, UTC") << "2026-12-07T09:30"
                                      << "2026-12-07T09:30:00.000Z";
        QTest::newRow("offset") << "2026-12-07T10:30:00+01:00"
                                << "2026-12-07T09:30:00.000Z";
        QTest::newRow("days back") << "2d"
                                   << "2026-12-05T12:00:00.000Z";
        QTest::newRow("hours back") << "12h"
                                    << "2026-12-07T00:00:00.000Z";
        QTest::newRow("minutes back") << "30min"
                                      << "2026-12-07T11:30:00.000Z";
        QTest::newRow("words") << "yesterday"
                               << "";
        QTest::newRow("no unit") << "12"
                                 << "";
        QTest::newRow("bad date") << "2026-13-40"
                                  << "";
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

    void backlogMessage_data()
    {
        QTest::addColumn<int>("pending");
        QTest::addColumn<qint64>("ageMs");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("message");

        QTest::newRow("none") << 0 << qint64(0) << ""
                              << "";
        QTest::newRow("one, fresh") << 1 << qint64(20000) << "server down"
                                    << "1 record not yet in the database (oldest under a minute): "
                                       "server down";
        QTest::newRow("minutes") << 12 << qint64(12 * 60000 + 5) << "refused"
                                 << "12 records not yet in the database (oldest 12 min): refused";
        QTest::newRow("hours") << 300 << qint64(5 * 3600000) << "x"
                               << "300 records not yet in the database (oldest 5 h): x";
        QTest::newRow("no reason yet")
            << 3 << qint64(0) << ""
            << "3 records not yet in the database (oldest under a minute)";
    }

    void backlogMessage()
    {
        ForwarderStatus status;
        QFETCH(int, pending);
        QFETCH(qint64, ageMs);
        QFETCH(QString, reason);
        status.pending = pending;
        status.oldestAgeMs = ageMs;
        status.reason = reason;
        QTEST(records::backlogMessage(status), "message");
    }

private:
    QTemporaryDir folder_;
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
