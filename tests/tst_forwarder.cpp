// The forwarder against a real PostgreSQL (started and stopped by the test)
// and SQLite: the database's records must equal the journals' records, in
// order and each once, whatever happens to the server on the way.

#include "recordsfixture.h"

#include "records/forwarder.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSemaphore>
#include <QtTest>

#include <atomic>

using namespace records;

namespace {

// A forwarder and what it told.
struct Probe
{
    Probe(const StationJournal &journal, const QString &url)
        : forwarder(journal.path(), url, journal.records().value(0).value("station").toString())
    {
        forwarder.setRetryDelays(50, 200);
        QObject::connect(&forwarder, &Forwarder::statusChanged, [this](const ForwarderStatus &s) {
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
// connection when the server answers a COMMIT: the transaction is in, but
// the client never hears so.
class CommitAnswerRelay : public QObject
{
public:
    CommitAnswerRelay(const QString &listen, const QString &server, std::atomic<int> *dropped)
        : server_(server), dropped_(dropped)
    {
        connect(&listener_, &QLocalServer::newConnection, this, &CommitAnswerRelay::accept);
        listener_.listen(listen);
    }

private:
    void accept()
    {
        while (QLocalSocket *client = listener_.nextPendingConnection()) {
            auto *upstream = new QLocalSocket(client);
            upstream->connectToServer(server_);
            upstream->waitForConnected(5000);
            connect(client, &QLocalSocket::readyRead, upstream,
                    [=] { upstream->write(client->readAll()); });
            connect(upstream, &QLocalSocket::readyRead, client, [=] { relay(client, upstream); });
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        }
    }
    void relay(QLocalSocket *client, QLocalSocket *upstream)
    {
        const QByteArray answer = upstream->readAll();
        // The server's CommandComplete for COMMIT carries the tag "COMMIT\0".
        if (*dropped_ == 0 && answer.contains(QByteArray("COMMIT\0", 7))) {
            ++*dropped_;
            upstream->abort();
            client->abort();
            return;
        }
        client->write(answer);
    }

    QString server_;
    std::atomic<int> *dropped_;
    QLocalServer listener_;
};

// The relay runs on a thread of its own, so that the test's thread may block
// on the forwarder; it is made and destroyed on that thread.
class CommitAnswerDropper
{
public:
    CommitAnswerDropper(const QString &listenFolder, const QString &serverFolder)
    {
        QDir().mkpath(listenFolder);
        const QString listen = listenFolder + "/.s.PGSQL.5432";
        const QString server = serverFolder + "/.s.PGSQL.5432";
        QObject::connect(&thread_, &QThread::started, [=] {
            relay_ = new CommitAnswerRelay(listen, server, &dropped);
            listening_.release();
        });
        QObject::connect(&thread_, &QThread::finished, [this] { delete relay_; });
        thread_.start();
        listening_.acquire();
    }
    ~CommitAnswerDropper()
    {
        thread_.quit();
        thread_.wait();
    }
    std::atomic<int> dropped{0};

private:
    QThread thread_;
    QSemaphore listening_;
    CommitAnswerRelay *relay_ = nullptr;
};

} // namespace

class TestForwarder : public RecordsTestBase
{
    Q_OBJECT

private slots:

    void initTestCase()
    {
        QString error;
        QVERIFY2(postgres_.setUp(&error), qPrintable(error));
    }

    void backlogAtStart_data() { backends(); }
    void twoStationsAtOnce_data() { backends(); }

    // What the database lacks goes first, in batches, then what is handed over;
    // another station's records and torn lines in the journal are not sent.
    void backlogAtStart()
    {
        QFETCH(QString, backend);
        const QString url = newDatabase(backend);
        StationJournal journal(folder_.filePath(backend + "-backlog.jsonl"), "line3");
        StationJournal other(journal.path(), "line4");
        for (int i = 0; i < 1200; ++i)
            journal.append(i % 10 == 0 ? "timeout" : "ok");
        other.append();
        journal.appendRaw("{\"seq\":9999,\"station\":\"li");
        {
            DatabaseUrl parsed;
            QString error;
            parseDatabaseUrl(url, &parsed, &error);
            QVERIFY(openDatabase(parsed, "records-test-seed", &error));
            RecordStore store(QSqlDatabase::database("records-test-seed", false));
            QVERIFY2(store.insert(journal.records().mid(0, 300), &error), qPrintable(error));
        }
        QSqlDatabase::removeDatabase("records-test-seed");
        journal.appendRaw("\n");

        Probe probe(journal, url);
        QVERIFY(probe.start());
        probe.forwarder.forward(journal.append());
        QVERIFY(waitForRows(url, journal.records().size()));
        QCOMPARE(idsInDatabase(url), journal.ids());
        QVERIFY(QTest::qWaitFor([&] { return probe.last.caughtUp; }, 5000));
        QCOMPARE(probe.last.pending, 0);
    }

    void twoStationsAtOnce()
    {
        QFETCH(QString, backend);
        const QString url = newDatabase(backend);
        StationJournal a(folder_.filePath(backend + "-a.jsonl"), "line-a");
        StationJournal b(folder_.filePath(backend + "-b.jsonl"), "line-b");
        a.append();
        b.append();
        Probe probeA(a, url), probeB(b, url);
        QVERIFY(probeA.start());
        QVERIFY(probeB.start());
        for (int i = 0; i < 300; ++i) {
            probeA.forwarder.forward(a.append());
            probeB.forwarder.forward(b.append());
        }
        QVERIFY(waitForRows(url, 602));
        QCOMPARE(idsInDatabase(url, "line-a"), a.ids());
        QCOMPARE(idsInDatabase(url, "line-b"), b.ids());
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
        const QString direct = newDatabase("postgresql");
        QString url = direct; // the forwarder's; the checks go direct
        StationJournal journal(folder_.filePath(fault + ".jsonl"), "line3");
        journal.append();
        std::unique_ptr<CommitAnswerDropper> dropper;
        if (fault == "commit answer lost") {
            const QString between = folder_.filePath("proxy");
            dropper = std::make_unique<CommitAnswerDropper>(between, postgres_.socketDir());
            url.replace(postgres_.socketDir(), between);
        }
        if (fault == "down at start")
            QVERIFY(postgres_.stop());
        Probe probe(journal, url);
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
