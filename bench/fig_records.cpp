// Factory records: forwarding a station's backlog into PostgreSQL and SQLite,
// and kvt-records summary --by day over a large table. PostgreSQL is a
// throw-away server of the bench's own (the tests' helper), on a Unix socket.

#include "common.h"
#include "figures.h"
#include "throwawaypostgres.h"

#include "records/databaseurl.h"
#include "records/forwarder.h"
#include "records/recordstore.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlQuery>
#include <QUuid>

namespace bench {

namespace {

// At most this many microseconds per record forwarded: 10,000 records/s, a
// day's backlog of a busy station in about a second.
constexpr double ForwardGoalUs = 100.0;
constexpr double SummaryGoalS = 1.0;
const QStringList Statuses{"ok", "ok", "ok", "ok", "ok", "ok", "ok", "ok", "timeout", "stopped"};

QJsonObject boardRecord(const QString &station, qint64 seq, int days)
{
    const QDateTime started =
        QDateTime(QDate(2026, 11, 1), QTime(6, 0), Qt::UTC)
            .addSecs((seq * 86400 * days / 1000000 + seq * 7) % (86400 * days));
    const QString status = Statuses[int(seq % Statuses.size())];
    return {{"schema", 2},
            {"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
            {"seq", seq},
            {"station", station},
            {"slot", QStringLiteral("slot-%1").arg(seq % 16)},
            {"usb", QJsonObject{{"serial", QStringLiteral("SN%1").arg(seq)}}},
            {"file", "app.kvt"},
            {"sha256", "5f3a9c"},
            {"started", started.toString(Qt::ISODateWithMs)},
            {"ended", started.addSecs(13).toString(Qt::ISODateWithMs)},
            {"duration_ms", 12000 + seq % 3000},
            {"status", status},
            {"message", status == "ok" ? "Firmware has been updated successfully." : "Time out"}};
}

bool writeJournal(const QString &path, int records)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (int seq = 1; seq <= records; ++seq)
        file.write(QJsonDocument(boardRecord("bench", seq, 30)).toJson(QJsonDocument::Compact) +
                   '\n');
    return true;
}

// Seconds from start until the forwarder reports the backlog in; -1 on failure.
double forwardBacklog(const QString &journal, const QString &url, QString *error)
{
    records::Forwarder forwarder(journal, url, QStringLiteral("bench"));
    records::ForwarderStatus last;
    QObject::connect(&forwarder, &records::Forwarder::statusChanged,
                     [&](const records::ForwarderStatus &status) { last = status; });
    const qint64 start = nowNs();
    if (!forwarder.start(error))
        return -1;
    if (!waitUntil([&] { return last.caughtUp; }, &forwarder, &records::Forwarder::statusChanged,
                   600000)) {
        *error = QStringLiteral("not caught up: ") + records::databaseMessage(last);
        return -1;
    }
    return (nowNs() - start) / 1e9;
}

// `count` records over 30 days from four stations, in transactions of 10,000.
bool fillDatabase(const QString &url, int count, QString *error)
{
    records::DatabaseUrl parsed;
    bool ok = records::parseDatabaseUrl(url, &parsed, error) &&
              records::openDatabase(parsed, QStringLiteral("bench-fill"), error);
    if (ok) {
        records::RecordStore store(QSqlDatabase::database(QStringLiteral("bench-fill"), false));
        ok = store.createSchema(error);
        for (int first = 1; ok && first <= count; first += 10000) {
            QVector<records::BoardRecord> batch;
            for (int seq = first; seq < first + 10000 && seq <= count; ++seq)
                batch.append(records::BoardRecord::fromJson(
                    boardRecord(QStringLiteral("line%1").arg(seq % 4), seq, 30)));
            ok = store.insert(batch, error);
        }
        // What autovacuum does to a factory's long-lived table (statistics,
        // the visibility map for index-only scans), done now rather than
        // whenever it comes round to a table filled a moment ago.
        if (ok && store.isPostgres())
            QSqlQuery(QSqlDatabase::database(QStringLiteral("bench-fill"), false))
                .exec(QStringLiteral("VACUUM ANALYZE board_records"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-fill"));
    return ok;
}

// Wall seconds of the kvt-records process; -1 when it failed.
double timeSummary(const Config &config, const QString &url, QString *error)
{
    QProcess tool;
    const qint64 start = nowNs();
    tool.start(config.recordsTool, {"summary", "--by", "day", "--database", url});
    if (!tool.waitForFinished(120000) || tool.exitCode() != 0) {
        *error = QString::fromLocal8Bit(tool.readAllStandardError());
        return -1;
    }
    const double seconds = (nowNs() - start) / 1e9;
    tool.readAllStandardOutput();
    return seconds;
}

bool runBackend(const Config &config, Report &report, const QString &backend, const QString &url,
                const QString &bigUrl)
{
    const QString journal = config.workDir + "/records-backlog.jsonl";
    QString error;
    const double forwarded = forwardBacklog(journal, url, &error);
    const QString forwardName = QStringLiteral("records: forward backlog, %1").arg(backend);
    if (forwarded < 0) {
        report.failure(forwardName, error);
        return false;
    }
    report.detail(QStringLiteral("%1: %2 records forwarded in %3 s, %4 records/s")
                      .arg(backend)
                      .arg(config.recordsBacklog)
                      .arg(forwarded, 0, 'f', 2)
                      .arg(config.recordsBacklog / forwarded, 0, 'f', 0));
    report.figure(forwardName, forwarded * 1e6 / config.recordsBacklog, ForwardGoalUs,
                  QStringLiteral(" us/record"), 1);

    const QString summaryName = QStringLiteral("records: summary --by day, %1").arg(backend);
    const qint64 fillStart = nowNs();
    if (!fillDatabase(bigUrl, config.summaryRecords, &error)) {
        report.failure(summaryName, error);
        return false;
    }
    report.detail(QStringLiteral("%1: %2 records inserted in %3 s (batches of 10,000)")
                      .arg(backend)
                      .arg(config.summaryRecords)
                      .arg((nowNs() - fillStart) / 1e9, 0, 'f', 1));
    const double seconds = timeSummary(config, bigUrl, &error);
    if (seconds < 0) {
        report.failure(summaryName, error);
        return false;
    }
    report.figure(summaryName, seconds, SummaryGoalS, QStringLiteral(" s"), 2);
    return true;
}

} // namespace

bool runRecords(const Config &config, Report &report)
{
    report.heading(QStringLiteral("9. Factory records: a backlog of %1 forwarded; summary over "
                                  "%2 records")
                       .arg(config.recordsBacklog)
                       .arg(config.summaryRecords));
    if (!writeJournal(config.workDir + "/records-backlog.jsonl", config.recordsBacklog)) {
        report.failure(QStringLiteral("records"), QStringLiteral("cannot write the journal"));
        return false;
    }
    ThrowawayPostgres postgres;
    QString error;
    if (!postgres.setUp(&error)) {
        report.failure(QStringLiteral("records"), error);
        return false;
    }
    postgres.exec(QStringLiteral("CREATE DATABASE backlog"));
    postgres.exec(QStringLiteral("CREATE DATABASE big"));
    const bool pg =
        runBackend(config, report, QStringLiteral("PostgreSQL"),
                   postgres.url(QStringLiteral("backlog")), postgres.url(QStringLiteral("big")));
    const bool sqlite = runBackend(config, report, QStringLiteral("SQLite"),
                                   "sqlite:" + config.workDir + "/backlog.sqlite",
                                   "sqlite:" + config.workDir + "/big.sqlite");
    return pg && sqlite;
}

} // namespace bench
