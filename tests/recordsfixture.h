#pragma once

// What the records tests share: a station's journal written as the station
// writes it, and the database's rows read back to compare with it.

#include "databaserows.h"
#include "recordscommand.h"

#include "records/forwarder.h"
#include "records/journal.h"
#include "records/recordstore.h"
#include "records/releases.h"
#include "testdata.h"
#include "throwawaypostgres.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using testdata::readFile;

// A station's journal: records with a new id and the next seq, appended as
// whole lines.
class StationJournal
{
public:
    StationJournal(const QString &path, const QString &station) : path_(path), station_(station) {}

    QJsonObject append(const QString &status = "ok", qint64 durationMs = 13000)
    {
        const QDateTime started = Start.addSecs(60 * seq_);
        const QJsonObject record{
            {"schema", 2},
            {"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {"seq", ++seq_},
            {"station", station_},
            {"slot", "slot-" + QString::number(seq_ % 8)},
            {"usb", QJsonObject{{"serial", station_ + "-SN" + QString::number(seq_)}}},
            {"file", "app.kvt"},
            {"sha256", "5f3a"},
            {"started", started.toString(Qt::ISODateWithMs)},
            {"ended", started.addMSecs(durationMs).toString(Qt::ISODateWithMs)},
            {"duration_ms", durationMs},
            {"status", status},
            {"message", status == "ok" ? "Firmware has been updated successfully." : "Time out"}};
        appendRaw(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
        ids_.append(record["id"].toString());
        return record;
    }
    void appendRaw(const QByteArray &bytes)
    {
        QFile file(path_);
        if (!file.open(QIODevice::Append) || file.write(bytes) != bytes.size())
            qFatal("cannot append to %s", qPrintable(path_));
    }

    QString path() const { return path_; }
    const QStringList &ids() const { return ids_; }

    static inline const QDateTime Start = QDateTime(QDate(2026, 12, 7), QTime(8, 0), Qt::UTC);

private:
    QString path_;
    QString station_;
    qint64 seq_ = 0;
    QStringList ids_;
};

// A release made by the library, at a time of the test's choosing.
inline bool releaseAt(const QSqlDatabase &db, const QString &sha256, const QString &released)
{
    bool added = false;
    records::ImageRelease existing;
    QString error;
    return records::addRelease(db, {sha256, "app.kvt", 1024, released, "ann", {}, {}, {}}, &added,
                               &existing, &error) &&
           added;
}

// A forwarder of station line3 and what it told, heard on the test's thread.
// It reads the journal only when told, or when a retry is due: a forwarder
// that gave up after a failure would never catch up. `setUp` runs before
// the start.
struct Probe
{
    Probe(const QString &journal, const QString &url, int retryMs = 50,
          const std::function<void(records::Forwarder &)> &setUp = {})
        : forwarder(journal, url, "line3")
    {
        forwarder.setRetryDelays(retryMs, 4 * retryMs);
        forwarder.setPollInterval(600000);
        if (setUp)
            setUp(forwarder);
        QObject::connect(&forwarder, &records::Forwarder::statusChanged, &forwarder,
                         [this](const records::ForwarderStatus &s) { last = s; });
        QObject::connect(&forwarder, &records::Forwarder::priorOkAnswered, &forwarder,
                         [this](const records::PriorOk &answer) { answers.append(answer); });
        QString error;
        if (!forwarder.start(&error))
            qFatal("%s", qPrintable(error));
    }
    bool waitForReason()
    {
        return QTest::qWaitFor([&] { return !last.reason.isEmpty(); }, 20000);
    }

    records::Forwarder forwarder;
    records::ForwarderStatus last;
    QVector<records::PriorOk> answers;
};

// kvt-records run in-process, what it printed and its exit status.
struct Run
{
    int status = -1;
    QString out;
    QString err;
    QStringList lines() const { return out.split('\n', Qt::SkipEmptyParts); }
};

inline Run kvtRecords(const QStringList &arguments, bool terminal = false)
{
    Run run;
    QTextStream out(&run.out), err(&run.err);
    run.status =
        recordstool::runRecordsCommand(QStringList{"kvt-records"} + arguments, out, err, terminal);
    out.flush();
    err.flush();
    return run;
}

// What the database tests share: a throw-away PostgreSQL, a folder for SQLite
// files and journals, and empty databases in either.
class RecordsTestBase : public QObject
{
protected:
    static void backends()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("postgresql") << "postgresql";
        QTest::newRow("sqlite") << "sqlite";
    }
    // For initTestCase: a failure here skips the test's functions.
    void startPostgres()
    {
        QString error;
        QVERIFY2(postgres_.setUp(&error), qPrintable(error));
    }
    static QString databaseName(int number) { return QStringLiteral("records_%1").arg(number); }

    // A new database's URL; with `schema`, its records table made, in
    // PostgreSQL with a column numbering rows as they arrive (SQLite's rowid
    // does), which idsInDatabase orders by.
    QString newDatabase(const QString &backend, bool schema = true)
    {
        const QString name = databaseName(++databases_);
        QString error;
        if (backend != "sqlite" && !postgres_.exec("CREATE DATABASE " + name, "postgres", &error))
            qFatal("%s", qPrintable(error));
        const QString url = backend == "sqlite" ? "sqlite:" + folder_.filePath(name + ".sqlite")
                                                : postgres_.url(name);
        if (schema) {
            withDatabase(url, [&](const QSqlDatabase &db) {
                if (!records::RecordStore(db).createSchema(&error))
                    qFatal("%s", qPrintable(error));
            });
            if (backend != "sqlite")
                postgres_.exec("ALTER TABLE board_records ADD COLUMN arrival BIGSERIAL", name);
        }
        return url;
    }

    // A database as init makes it, as an option: the commands other than
    // init want one there.
    QString databaseOption(const QString &backend)
    {
        const QString option = "--database=" + newDatabase(backend, false);
        kvtRecords({"init", option});
        return option;
    }

    ThrowawayPostgres postgres_;
    QTemporaryDir folder_;
    int databases_ = 0;
};
