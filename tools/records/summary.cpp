#include "records/summary.h"

#include "records/recordstore.h"

#include <QHash>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace records {

namespace {

constexpr int FailureMessagesShown = 5;
const QString FailedStatuses = QStringLiteral("status NOT IN ('ok', 'stopped')");

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

const QString InRange = QStringLiteral("started >= ? AND started < ?");

void bindRange(QSqlQuery &query, const SummaryRange &range)
{
    // A null QString binds as NULL, which no comparison matches.
    query.addBindValue(range.since.isEmpty() ? QLatin1String("") : range.since);
    query.addBindValue(range.until.isEmpty() ? QStringLiteral("~") : range.until);
}

bool run(QSqlQuery &query, const SummaryRange &range, QString *error)
{
    bindRange(query, range);
    if (query.exec())
        return true;
    *error = QStringLiteral("cannot summarize the records: ") + query.lastError().text().trimmed();
    return false;
}

bool countGroups(const QSqlDatabase &db, const QString &group, const SummaryRange &range,
                 Summary *summary, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 AS g, COUNT(*), "
                                 "SUM(CASE WHEN status = 'ok' THEN 1 ELSE 0 END), "
                                 "SUM(CASE WHEN status = 'stopped' THEN 1 ELSE 0 END) "
                                 "FROM board_records WHERE %2 GROUP BY g ORDER BY g")
                      .arg(group, InRange));
    if (!run(query, range, error))
        return false;
    while (query.next()) {
        SummaryGroup row;
        row.group = query.value(0).toString();
        row.boards = query.value(1).toLongLong();
        row.ok = query.value(2).toLongLong();
        row.stopped = query.value(3).toLongLong();
        row.failed = row.boards - row.ok - row.stopped;
        summary->groups.append(row);
    }
    return true;
}

// The middle one or two durations of each group's ok boards, by rank.
bool medianDurations(const QSqlDatabase &db, const QString &group, const SummaryRange &range,
                     QHash<QString, double> *medians, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT g, AVG(duration_ms) FROM (SELECT %1 AS g, duration_ms, "
                       "ROW_NUMBER() OVER (PARTITION BY %1 ORDER BY duration_ms) AS n, "
                       "COUNT(*) OVER (PARTITION BY %1) AS c FROM board_records "
                       "WHERE status = 'ok' AND duration_ms IS NOT NULL AND %2) AS ranked "
                       "WHERE n = (c + 1) / 2 OR n = (c + 2) / 2 GROUP BY g")
            .arg(group, InRange));
    if (!run(query, range, error))
        return false;
    while (query.next())
        medians->insert(query.value(0).toString(), query.value(1).toDouble());
    return true;
}

bool failureMessages(const QSqlDatabase &db, const SummaryRange &range, Summary *summary,
                     QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT coalesce(message, status), COUNT(*) AS n FROM "
                                 "board_records WHERE %1 AND %2 GROUP BY 1 ORDER BY n DESC, 1 "
                                 "LIMIT %3")
                      .arg(FailedStatuses, InRange)
                      .arg(FailureMessagesShown));
    if (!run(query, range, error))
        return false;
    while (query.next())
        summary->failures.append({query.value(0).toString(), query.value(1).toLongLong()});
    return true;
}

// Totals over all groups; the overall median needs its own ranking.
void addTotal(Summary *summary, double medianMs)
{
    SummaryGroup &total = summary->total;
    total = SummaryGroup{};
    total.group = QStringLiteral("all");
    for (const SummaryGroup &row : qAsConst(summary->groups)) {
        total.boards += row.boards;
        total.ok += row.ok;
        total.failed += row.failed;
        total.stopped += row.stopped;
    }
    total.medianMs = medianMs;
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
    const QString group = groupExpression(by);
    QHash<QString, double> medians;
    QHash<QString, double> overall;
    if (!countGroups(db, group, range, summary, error) ||
        !medianDurations(db, group, range, &medians, error) ||
        !medianDurations(db, QStringLiteral("'all'"), range, &overall, error) ||
        !failureMessages(db, range, summary, error))
        return false;
    for (SummaryGroup &row : summary->groups)
        row.medianMs = medians.value(row.group, -1);
    addTotal(summary, overall.value(QStringLiteral("all"), -1));
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
