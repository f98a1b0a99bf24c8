#include "records/summary.h"

#include "records/recordstore.h"

#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace records {

namespace {

constexpr int FailureMessagesShown = 5;

QString groupExpression(Grouping by)
{
    switch (by) {
    case Grouping::Day:
        return QStringLiteral("substr(started, 1, 10)");
    case Grouping::Hour:
        return QStringLiteral("substr(started, 1, 13)");
    case Grouping::Station:
        return QStringLiteral("station");
    case Grouping::Image:
        return QStringLiteral("coalesce(file, '?') || ' ' || substr(coalesce(sha256, ''), 1, 12)");
    case Grouping::Slot:
        break;
    }
    return QStringLiteral("coalesce(slot, '')");
}

// The bounds that are set, "AND"ed after `first`. Leaving out the unset
// ones lets a summary of everything read an index instead of the table.
QString rangeCondition(const SummaryRange &range, const QString &first)
{
    QStringList conditions{first};
    if (!range.since.isEmpty())
        conditions.append(QStringLiteral("started >= ?"));
    if (!range.until.isEmpty())
        conditions.append(QStringLiteral("started < ?"));
    return conditions.join(QStringLiteral(" AND "));
}

void bindRange(QSqlQuery &query, const SummaryRange &range)
{
    if (!range.since.isEmpty())
        query.addBindValue(range.since);
    if (!range.until.isEmpty())
        query.addBindValue(range.until);
}

bool run(QSqlQuery &query, const SummaryRange &range, QString *error)
{
    bindRange(query, range);
    if (query.exec())
        return true;
    *error = QStringLiteral("cannot summarize the records: ") + query.lastError().text().trimmed();
    return false;
}

// How long the ok boards took: duration in ms -> boards, in order.
using Durations = QMap<qint64, qint64>;

// The mean of the values at ranks (n + 1) / 2 and (n + 2) / 2 (from 1):
// the middle one, or the two middle ones.
double medianOf(const Durations &durations)
{
    qint64 count = 0;
    for (qint64 boards : durations)
        count += boards;
    if (count == 0)
        return -1;
    const qint64 lowRank = (count + 1) / 2, highRank = (count + 2) / 2;
    double low = -1;
    qint64 seen = 0;
    for (auto it = durations.cbegin(); it != durations.cend(); ++it) {
        seen += it.value();
        if (low < 0 && seen >= lowRank)
            low = double(it.key());
        if (seen >= highRank)
            return (low + double(it.key())) / 2;
    }
    return low;
}

void addRow(SummaryGroup &group, Durations &durations, const QSqlQuery &row)
{
    const QString status = row.value(1).toString();
    const qint64 boards = row.value(3).toLongLong();
    group.boards += boards;
    if (status == QLatin1String("ok")) {
        group.ok += boards;
        if (!row.value(2).isNull())
            durations[row.value(2).toLongLong()] += boards; // the others' are not counted
    } else if (status == QLatin1String("stopped"))
        group.stopped += boards;
    else
        group.failed += boards;
}

// One pass over the records: boards per group, status and duration, from
// which the counts and the ok boards' exact medians follow. For days the
// pass reads the index on (day, status, duration_ms) in its order: over a
// million records window functions took 3 to 9 s, this well under one.
bool countGroups(const QSqlDatabase &db, const QString &group, const SummaryRange &range,
                 Summary *summary, QStringList *failedStatuses, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1, status, duration_ms, COUNT(*) FROM board_records "
                                 "WHERE %2 GROUP BY %1, status, duration_ms")
                      .arg(group, rangeCondition(range, QStringLiteral("1 = 1"))));
    if (!run(query, range, error))
        return false;
    QMap<QString, SummaryGroup> groups;
    QMap<QString, Durations> durations;
    Durations all;
    while (query.next()) {
        const QString name = query.value(0).toString();
        addRow(groups[name], durations[name], query);
        const QString status = query.value(1).toString();
        if (status != QLatin1String("ok") && status != QLatin1String("stopped") &&
            !failedStatuses->contains(status))
            failedStatuses->append(status);
    }
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        it->group = it.key();
        it->medianMs = medianOf(durations.value(it.key()));
        summary->groups.append(*it);
        for (auto d = durations[it.key()].cbegin(); d != durations[it.key()].cend(); ++d)
            all[d.key()] += d.value();
    }
    summary->total.medianMs = medianOf(all);
    return true;
}

// The failed statuses that the counting pass met, by name: "status IN
// (...)" reads the failures through the index on (status, message), where
// "NOT IN ('ok', 'stopped')" read the whole table.
bool failureMessages(const QSqlDatabase &db, const SummaryRange &range,
                     const QStringList &failedStatuses, Summary *summary, QString *error)
{
    if (failedStatuses.isEmpty())
        return true;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const QString statuses = QStringLiteral("status IN (?%1)")
                                 .arg(QStringLiteral(",?").repeated(failedStatuses.size() - 1));
    query.prepare(QStringLiteral("SELECT coalesce(message, status), COUNT(*) AS n FROM "
                                 "board_records WHERE %1 GROUP BY 1 ORDER BY n DESC, 1 LIMIT %2")
                      .arg(rangeCondition(range, statuses))
                      .arg(FailureMessagesShown));
    for (const QString &status : failedStatuses)
        query.addBindValue(status);
    if (!run(query, range, error))
        return false;
    while (query.next())
        summary->failures.append({query.value(0).toString(), query.value(1).toLongLong()});
    return true;
}

void addTotal(Summary *summary)
{
    SummaryGroup &total = summary->total;
    total.group = QStringLiteral("all");
    for (const SummaryGroup &row : qAsConst(summary->groups)) {
        total.boards += row.boards;
        total.ok += row.ok;
        total.failed += row.failed;
        total.stopped += row.stopped;
    }
}

} // namespace

bool parseGrouping(const QString &text, Grouping *grouping)
{
    static const QHash<QString, Grouping> names{{"day", Grouping::Day},
                                                {"hour", Grouping::Hour},
                                                {"station", Grouping::Station},
                                                {"image", Grouping::Image},
                                                {"slot", Grouping::Slot}};
    if (!names.contains(text))
        return false;
    *grouping = names.value(text);
    return true;
}

bool summarize(const QSqlDatabase &db, Grouping by, const SummaryRange &range, Summary *summary,
               QString *error)
{
    *summary = Summary{};
    if (db.driverName() == QLatin1String("QPSQL")) {
        // Room to count a month of durations in memory rather than sort them
        // on disk, and no compiling of a query that runs once.
        QSqlQuery session(db);
        session.exec(QStringLiteral("SET work_mem = '64MB'"));
        session.exec(QStringLiteral("SET jit = off"));
    }
    QStringList failedStatuses;
    if (!countGroups(db, groupExpression(by), range, summary, &failedStatuses, error) ||
        !failureMessages(db, range, failedStatuses, summary, error))
        return false;
    addTotal(summary);
    return true;
}

bool parseTimeBound(const QString &text, const QDateTime &now, QString *bound, QString *error)
{
    static const QRegularExpression span(QStringLiteral("^(\\d+)(d|h|min)$"));
    const QRegularExpressionMatch match = span.match(text.trimmed());
    QDateTime time;
    if (match.hasMatch()) {
        const qint64 count = match.captured(1).toLongLong();
        const qint64 unit = match.captured(2) == "d" ? 86400 : match.captured(2) == "h" ? 3600 : 60;
        time = now.addSecs(-count * unit);
    } else {
        time = QDateTime::fromString(text.trimmed(), Qt::ISODateWithMs);
        // A time written without an offset is UTC, as the records are.
        if (time.isValid() && time.timeSpec() == Qt::LocalTime)
            time.setTimeSpec(Qt::UTC);
    }
    if (!time.isValid()) {
        *error = QStringLiteral("bad time '%1': write 2026-12-07, 2026-12-07T09:30 (UTC), "
                                "or 7d, 12h, 30min back from now")
                     .arg(text);
        return false;
    }
    *bound = utcText(time.toString(Qt::ISODateWithMs));
    return true;
}

} // namespace records
