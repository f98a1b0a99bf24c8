// The forwarder against a real PostgreSQL (started and stopped by the test)
// and SQLite: whatever happened to the journals and to the server, the
// database ends up holding every record the journals hold, each once.

#include "recordsfixture.h"

#include <QtTest>

#include <map>
#include <memory>

using namespace records;

class TestForwarder : public RecordsTestBase
{
    Q_OBJECT

private slots:
    void initTestCase() { startPostgres(); }

    // Each row is a journal's history in steps: "a+3" appends three records
    // to journal a and tells the forwarders ("a+3!" does not tell them);
    // "start a", "stop a" a forwarder of journal a ("a2": a second station
    // on journal a); "rotate a", "truncate a" as log rotation and a
    // person do; "late a" a record in the rotated journal; "torn a" a
    // damaged line; "empty database"; "settle"
    // waits until the database holds every record written so far; "twin"
    // until one of two stations under one name says so.
    void journalHistories_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("steps");
        const QList<QPair<const char *, const char *>> histories{
            {"rotated while stopped, three not sent",
             "a+5 start-a settle stop-a a+3 rotate-a a+4 start-a settle"},
            // More after than before: the old offset falls inside the new lines.
            {"truncated while stopped", "a+3 start-a settle stop-a truncate-a a+6 torn-a start-a"},
            {"rotated before the station told", "a+5 start-a settle a+2! rotate-a a+3"},
            {"written to the rotated journal after the move",
             "a+5 start-a settle rotate-a a+3 settle late-a"},
            {"truncated while running", "a+5 start-a settle truncate-a a+4"},
            {"two journals under one name", "a+3 start-a b+2 start-b settle stop-a a+2 start-a"},
            {"two stations under one name at once", "a+2 b+2 start-a start-b twin a+1 b+1"},
            {"two stations on one journal, one restarted",
             "a+3 start-a start-a2 settle stop-a2 a+4 start-a2 settle stop-a a+2 start-a"},
            {"database emptied while stopped", "a+4 start-a settle stop-a empty a+1 start-a"},
        };
        for (const char *backend : {"postgresql", "sqlite"})
            for (const auto &history : histories)
                QTest::addRow("%s, %s", backend, history.first) << backend << history.second;
    }

    void journalHistories()
    {
        QFETCH(QString, backend);
        QFETCH(QString, steps);
        const QString url = newDatabase(backend);
        const QString folder = folder_.filePath(QString::number(databases_));
        QDir().mkpath(folder);
        std::map<QString, std::unique_ptr<StationJournal>> journals;
        std::map<QString, std::unique_ptr<Probe>> probes;
        QStringList written;
        const auto journal = [&](const QString &name) -> StationJournal & {
            auto &j = journals[name.left(1)];
            if (!j)
                j = std::make_unique<StationJournal>(folder + '/' + name.left(1), "line3");
            return *j;
        };
        const auto restart = [&](const QString &name) {
            journals[name] = std::make_unique<StationJournal>(journal(name).path(), "line3");
        };
        const auto settle = [&] {
            QVERIFY2(QTest::qWaitFor(
                         [&] {
                             QStringList held = idsInDatabase(url), all = written;
                             held.sort();
                             all.sort();
                             return held == all;
                         },
                         20000),
                     qPrintable(steps));
        };
        for (const QString &step : steps.split(' ')) {
            const QString name = step.section('-', 1);
            if (step.contains('+')) {
                StationJournal &j = journal(step);
                for (int i = step.section('+', 1).toInt(); i > 0; --i)
                    written.append(j.append()["id"].toString());
                if (!step.endsWith('!'))
                    for (auto &probe : probes)
                        probe.second->forwarder.journalGrew();
            } else if (step.startsWith("start")) {
                probes[name] = std::make_unique<Probe>(journal(name).path(), url);
            } else if (step.startsWith("stop")) {
                probes.erase(name);
            } else if (step.startsWith("rotate")) {
                QVERIFY(QFile::rename(journal(name).path(), journal(name).path() + ".1"));
                restart(name); // a station finds no seq to carry on from
            } else if (step.startsWith("truncate")) {
                QVERIFY(QFile::resize(journal(name).path(), 0));
                restart(name);
            } else if (step.startsWith("late")) {
                // The station's append a moment before it saw the journal had moved.
                StationJournal rotated(journal(name).path() + ".1", "line3");
                written.append(rotated.append()["id"].toString());
                for (auto &probe : probes)
                    probe.second->forwarder.journalGrew();
            } else if (step.startsWith("torn")) {
                journal(name).appendRaw("{\"seq\":9999,\"station\":\"li\n");
            } else if (step == "empty") {
                withDatabase(url, [](const QSqlDatabase &db) {
                    QSqlQuery(db).exec("DELETE FROM board_records");
                });
            } else if (step == "twin") {
                QVERIFY(QTest::qWaitFor(
                    [&] { return probes["a"]->last.twin != probes["b"]->last.twin; }, 10000));
            }
            if (step == "settle")
                settle();
        }
        settle();
        QCOMPARE(idsInDatabase(url).size(), written.size()); // each once
    }

    // The records reach the database once the server takes them again, with
    // no new record to wake the forwarder; what the server cannot take is
    // set aside, not a stop for every record behind it. While the server is
    // away a station's question gets no answer it could take for one, and
    // its image's release is read once the server is there.
    void serverFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("server down when forwarding starts") << "down at start";
        QTest::newRow("server stopped while records keep coming") << "stopped mid-run";
        QTest::newRow("a record the server cannot store") << "refused record";
    }

    void serverFaults()
    {
        QFETCH(QString, fault);
        const QString url = newDatabase("postgresql");
        StationJournal journal(folder_.filePath(fault + ".jsonl"), "line3");
        journal.append();
        if (fault == "down at start")
            QVERIFY(postgres_.stop());
        Probe probe(journal.path(), url, 50, [&](Forwarder &forwarder) {
            if (fault == "down at start")
                forwarder.watchRelease("aa", 100);
        });
        QStringList expected = journal.ids();
        const auto write = [&](int count) {
            for (int i = 0; i < count; ++i)
                expected.append(journal.append()["id"].toString());
            probe.forwarder.journalGrew();
        };
        write(5);
        if (fault == "down at start") {
            QVERIFY(probe.waitForReason());
            QVERIFY(QTest::qWaitFor([&] { return probe.last.pending == 6; }, 5000));
            probe.forwarder.askPriorOk({"q", "KV-1", "", "aa"});
            const bool answered = QTest::qWaitFor([&] { return !probe.answers.isEmpty(); }, 10000);
            QVERIFY(postgres_.start()); // before any check, which would leave it stopped
            QVERIFY(answered);
            QCOMPARE(int(probe.answers[0].kind), int(PriorOk::CannotTell));
            QTRY_COMPARE_WITH_TIMEOUT(int(probe.last.release.kind), int(ReleaseState::NotReleased),
                                      10000);
        } else if (fault == "stopped mid-run") {
            QVERIFY(QTest::qWaitFor([&] { return idsInDatabase(url).size() >= 6; }, 30000));
            QVERIFY(postgres_.stop());
            write(5);
            QVERIFY(probe.waitForReason());
            QVERIFY(postgres_.start());
        } else if (fault == "refused record") {
            // jsonb holds no NUL character; the rows around it go in.
            journal.appendRaw(R"({"id":"nul","station":"line3","status":"ok","message":"a\u0000b"})"
                              "\n");
            write(3);
            QVERIFY(QTest::qWaitFor([&] { return probe.last.refused == 1; }, 20000));
        }
        QVERIFY(QTest::qWaitFor([&] { return probe.last.caughtUp; }, 20000));
        QCOMPARE(idsInDatabase(url), expected);
    }

    // A station that quits must not wait out a long back-off.
    void stopDoesNotWaitOutARetry()
    {
        StationJournal journal(folder_.filePath("stop.jsonl"), "line3");
        journal.append();
        Probe probe(journal.path(), "postgresql:///none?host=" + folder_.filePath("no-server"),
                    60000);
        QVERIFY(probe.waitForReason());
        QElapsedTimer clock;
        clock.start();
        probe.forwarder.stop(2000);
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(probe.forwarder.status().pending, 1);
    }
};

QTEST_GUILESS_MAIN(TestForwarder)
#include "tst_forwarder.moc"
