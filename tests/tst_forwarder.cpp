// The forwarder against a real PostgreSQL (started and stopped by the test)
// and SQLite: the database's records must equal the journals' records, in
// order and each once, whatever happens to the server on the way.

#include "recordsfixture.h"

#include "records/forwarder.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

using namespace records;

namespace {

// A forwarder and what it told, heard on the test's thread.
struct Probe
{
    Probe(const StationJournal &journal, const QString &url)
        : forwarder(journal.path(), url, journal.records().value(0).value("station").toString())
    {
        forwarder.setRetryDelays(50, 200);
        QObject::connect(&forwarder, &Forwarder::statusChanged, &forwarder,
                         [this](const ForwarderStatus &s) {
                             last = s;
                             if (!s.reason.isEmpty())
                                 reasons.append(s.reason);
                         });
    }
    bool start()
    {
        QString error;
        return forwarder.start(&error);
    }
    bool waitForReason()
    {
        return QTest::qWaitFor([&] { return !reasons.isEmpty(); }, 20000);
    }

    Forwarder forwarder;
    ForwarderStatus last;
    QStringList reasons;
};

// Stands between the forwarder and the server on a Unix socket and drops the
// connection the first time the server answers a COMMIT: the transaction is
// in, but the client never hears so. It runs on the test's thread, served
// while the test waits; the forwarder has a thread of its own.
class CommitAnswerDropper : public QLocalServer
{
public:
    CommitAnswerDropper(const QString &folder, const QString &serverFolder)
    {
        QDir().mkpath(folder);
        connect(this, &QLocalServer::newConnection, [=] {
            while (QLocalSocket *client = nextPendingConnection()) {
                auto *upstream = new QLocalSocket(client);
                upstream->connectToServer(serverFolder + "/.s.PGSQL.5432");
                upstream->waitForConnected(5000);
                connect(client, &QLocalSocket::readyRead, upstream,
                        [=] { upstream->write(client->readAll()); });
                connect(upstream, &QLocalSocket::readyRead, client, [=] {
                    const QByteArray answer = upstream->readAll();
                    // The server's CommandComplete for COMMIT carries the tag "COMMIT\0".
                    if (dropped == 0 && answer.contains(QByteArray("COMMIT\0", 7))) {
                        ++dropped;
                        upstream->abort();
                        client->abort();
                    } else {
                        client->write(answer);
                    }
                });
                connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            }
        });
        listen(folder + "/.s.PGSQL.5432");
    }
    int dropped = 0;
};

} // namespace

class TestForwarder : public RecordsTestBase
{
    Q_OBJECT

private slots:

    void initTestCase() { startPostgres(); }

    // What the database lacks goes first, in batches, then what is handed over;
    // another station's record and torn lines in the journal are not sent.
    // A second station forwards into the same database at the same time: its
    // backlog is below the first one's seqs, and its records stay its own.
    void backlogAndASecondStation_data() { backends(); }
    void backlogAndASecondStation()
    {
        QFETCH(QString, backend);
        const QString url = newDatabase(backend);
        StationJournal a(folder_.filePath(backend + "-a.jsonl"), "line-a");
        StationJournal b(folder_.filePath(backend + "-b.jsonl"), "line-b");
        for (int i = 0; i < 1200; ++i)
            a.append(i % 10 == 0 ? "timeout" : "ok");
        a.appendRaw("{\"id\":\"not-line-a\",\"station\":\"line-b\",\"seq\":5000}\n");
        a.appendRaw("{\"seq\":9999,\"station\":\"li");
        withDatabase(url, [&](const QSqlDatabase &db, const DatabaseUrl &) {
            QString error;
            QVERIFY2(RecordStore(db).insert(a.records().mid(0, 300), &error), qPrintable(error));
        });
        a.appendRaw("\n");
        b.append();

        Probe probeA(a, url), probeB(b, url);
        QVERIFY(probeA.start());
        QVERIFY(probeB.start());
        for (int i = 0; i < 300; ++i) {
            probeA.forwarder.forward(a.append());
            probeB.forwarder.forward(b.append());
        }
        QVERIFY(waitForRows(url, a.records().size() + b.records().size()));
        QCOMPARE(idsInDatabase(url, "line-a"), a.ids());
        QCOMPARE(idsInDatabase(url, "line-b"), b.ids());
        QVERIFY(QTest::qWaitFor([&] { return probeA.last.caughtUp; }, 5000));
        QCOMPARE(probeA.last.pending, 0);
    }

    void serverFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("server down when forwarding starts") << "down at start";
        QTest::newRow("server stopped while records keep coming") << "stopped mid-run";
        QTest::newRow("server restarted between records") << "restarted";
        QTest::newRow("commit done, its answer lost") << "commit answer lost";
    }

    void serverFaults()
    {
        QFETCH(QString, fault);
        const QString direct = newDatabase("postgresql"); // the checks go direct
        const QString between = folder_.filePath("proxy");
        StationJournal journal(folder_.filePath(fault + ".jsonl"), "line3");
        journal.append();
        Probe probe(journal, fault == "commit answer lost"
                                 ? QString(direct).replace(postgres_.socketDir(), between)
                                 : direct);
        // Made after the probe, so gone before the forwarder's stop waits on it.
        std::unique_ptr<CommitAnswerDropper> dropper;
        if (fault == "commit answer lost")
            dropper = std::make_unique<CommitAnswerDropper>(between, postgres_.socketDir());
        if (fault == "down at start")
            QVERIFY(postgres_.stop());
        QVERIFY(probe.start());
        for (int i = 0; i < 5; ++i)
            probe.forwarder.forward(journal.append());

        if (fault == "down at start") {
            QVERIFY(probe.waitForReason());
            QVERIFY(QTest::qWaitFor([&] { return probe.last.pending == 5; }, 5000));
            QVERIFY2(backlogMessage(probe.last).startsWith("5 records not yet in the database"),
                     qPrintable(backlogMessage(probe.last)));
            QVERIFY(postgres_.start());
        } else if (fault == "stopped mid-run" || fault == "restarted") {
            QVERIFY(waitForRows(direct, 6));
            QVERIFY(postgres_.stop());
            if (fault == "restarted")
                QVERIFY(postgres_.start());
            for (int i = 0; i < 5; ++i)
                probe.forwarder.forward(journal.append());
            QVERIFY(probe.waitForReason());
            if (fault == "stopped mid-run")
                QVERIFY(postgres_.start());
        }
        for (int i = 0; i < 5; ++i)
            probe.forwarder.forward(journal.append());
        if (dropper) {
            // The rows are in before the forwarder hears of it; it must send them
            // again, and the database must keep one of each.
            QVERIFY(QTest::qWaitFor([&] { return dropper->dropped == 1; }, 20000));
            QVERIFY(probe.waitForReason());
        }
        QVERIFY(waitForRows(direct, journal.records().size()));
        QVERIFY(QTest::qWaitFor([&] { return probe.last.caughtUp; }, 20000));
        QCOMPARE(idsInDatabase(direct), journal.ids());
    }

    // A station that quits must not wait out a long back-off.
    void stopDoesNotWaitOutARetry()
    {
        StationJournal journal(folder_.filePath("stop.jsonl"), "line3");
        journal.append();
        Probe probe(journal, "postgresql:///none?host=" + folder_.filePath("no-server"));
        probe.forwarder.setRetryDelays(60000, 60000);
        QVERIFY(probe.start());
        QVERIFY(probe.waitForReason());
        QElapsedTimer clock;
        clock.start();
        probe.forwarder.stop();
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }

private:
    bool waitForRows(const QString &url, int rows)
    {
        return QTest::qWaitFor([&] { return idsInDatabase(url).size() >= rows; }, 30000);
    }
};

QTEST_GUILESS_MAIN(TestForwarder)
#include "tst_forwarder.moc"
