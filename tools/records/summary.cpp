#include "records/summary.h"

#include "records/recordstore.h"
#include "records/releases.h"
#include "records/slotnames.h"

#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace records {

namespace {

// Joins the columns that make one raw group; a character no name holds.
const QString Joint = QStringLiteral("\x1f");

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
        return QStringLiteral("coalesce(sha256, '') || '%1' || coalesce(file, '?')").arg(Joint);
    case Grouping::Slot:
        break;
    }
    return QStringLiteral("station || '%1' || coalesce(slot, '') || '%1' || coalesce(label, '')")
        .arg(Joint);
}

// Raw image groups "SHA<joint>FILE" -> "FILE[, FILE...] SHA12". An image
// is its content: renaming the file does not make another image. Records
// without a sha256 can only be told apart by their file name.
QHash<QString, QString> imageNames(const QStringList &raw, QHash<QString, QString> *shaOf)
{
    QMap<QString, QStringList> files; // sha (or joint and file) -> its file names, sorted
    for (const QString &key : raw) {
        const QString sha = key.section(Joint, 0, 0);
        files[sha.isEmpty() ? key : sha].append(key.section(Joint, 1));
    }
    QHash<QString, QString> names;
    for (const QString &key : raw) {
        const QString sha = key.section(Joint, 0, 0);
        const QString image = sha.isEmpty() ? key : sha;
        const QString name =
            (files[image].join(QStringLiteral(", ")) + ' ' + sha.left(12)).trimmed();
        names.insert(key, name);
        shaOf->insert(name, sha);
    }
    return names;
}

// Raw slot groups "STATION<joint>SLOT<joint>LABEL" -> "STATION NAME", NAME
// the label, else the short name among the station's slots, as its screen
// shows it.
QHash<QString, QString> slotNames(const QStringList &raw, SlotNames *shortOf)
{
    QMap<QString, QStringList> slotsOf;
    for (const QString &key : raw)
        slotsOf[key.section(Joint, 0, 0)].append(key.section(Joint, 1, 1));
    for (auto it = slotsOf.cbegin(); it != slotsOf.cend(); ++it) {
        QStringList entries = it.value();
        entries.removeDuplicates();
        entries.removeAll(QString()); // no slot would leave no common part to cut
        shortOf->insert(it.key(), shortNames(entries));
    }
    QHash<QString, QString> names;
    for (const QString &key : raw) {
        const QString station = key.section(Joint, 0, 0), label = key.section(Joint, 2);
        const QString slot = key.section(Joint, 1, 1);
        const QString name = !label.isEmpty() ? label
                             : slot.isEmpty() ? QStringLiteral("(no slot)") // written without one
                                              : (*shortOf)[station][slot];
        names.insert(key, station + ' ' + name);
    }
    return names;
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

void mergeGroup(SummaryGroup &into, const SummaryGroup &from)
{
    into.boards += from.boards;
    into.ok += from.ok;
    into.failed += from.failed;
    into.stopped += from.stopped;
}

// The groups, their medians and the total's, in the groups' order.
void finishGroups(const QMap<QString, SummaryGroup> &groups,
                  const QMap<QString, Durations> &durations, Summary *summary)
{
    Durations all;
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        SummaryGroup group = it.value();
        group.group = it.key();
        const Durations &times = durations[it.key()];
        group.medianMs = medianOf(times);
        summary->groups.append(group);
        for (auto d = times.cbegin(); d != times.cend(); ++d)
            all[d.key()] += d.value();
    }
    summary->total.medianMs = medianOf(all);
}

// Raw groups as the database counted them -> groups by the name a person
// knows them by; slots in the order their screens show them.
void nameGroups(Grouping by, const QMap<QString, SummaryGroup> &raw,
                const QMap<QString, Durations> &rawDurations, Summary *summary)
{
    if (by != Grouping::Image && by != Grouping::Slot)
        return finishGroups(raw, rawDurations, summary); // named by the database already
    QHash<QString, QString> shaOf;
    const QHash<QString, QString> names = by == Grouping::Image
                                              ? imageNames(raw.keys(), &shaOf)
                                              : slotNames(raw.keys(), &summary->shortSlotNames);
    QMap<QString, SummaryGroup> groups;
    QMap<QString, Durations> durations;
    for (auto it = raw.cbegin(); it != raw.cend(); ++it) {
        const QString name = names.value(it.key());
        mergeGroup(groups[name], it.value());
        const Durations &times = rawDurations[it.key()];
        for (auto d = times.cbegin(); d != times.cend(); ++d)
            durations[name][d.key()] += d.value();
    }
    finishGroups(groups, durations, summary);
    for (SummaryGroup &group : summary->groups)
        group.image = shaOf.value(group.group);
    if (by == Grouping::Slot)
        std::sort(summary->groups.begin(), summary->groups.end(),
                  [](const SummaryGroup &a, const SummaryGroup &b) {
                      return slotNameBefore(a.group, b.group);
                  });
}

// One pass over the records: boards per group, status and duration, from
// which the counts and the ok boards' exact medians follow. For days the
// pass reads the index on (day, status, duration_ms) in its order: over a
// million records window functions took 3 to 9 s, this well under one.
bool countGroups(const QSqlDatabase &db, Grouping by, const SummaryRange &range, Summary *summary,
                 QStringList *failedStatuses, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1, status, duration_ms, COUNT(*) FROM board_records "
                                 "WHERE %2 GROUP BY %1, status, duration_ms")
                      .arg(groupExpression(by), rangeCondition(range, QStringLiteral("1 = 1"))));
    if (!run(query, range, error))
        return false;
    QMap<QString, SummaryGroup> groups;
    QMap<QString, Durations> durations;
    while (query.next()) {
        const QString name = query.value(0).toString();
        addRow(groups[name], durations[name], query);
        const QString status = query.value(1).toString();
        if (status != QLatin1String("ok") && status != QLatin1String("stopped") &&
            !failedStatuses->contains(status))
            failedStatuses->append(status);
    }
    nameGroups(by, groups, durations, summary);
    return true;
}

// Hours in which each station flashed at least one board, for its pace.
bool countActiveHours(const QSqlDatabase &db, const SummaryRange &range, Summary *summary,
                      QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT station, COUNT(DISTINCT substr(started, 1, 13)) FROM "
                                 "board_records WHERE %1 GROUP BY station")
                      .arg(rangeCondition(range, QStringLiteral("started <> ''"))));
    if (!run(query, range, error))
        return false;
    QHash<QString, qint64> hours;
    while (query.next())
        hours.insert(query.value(0).toString(), query.value(1).toLongLong());
    for (SummaryGroup &group : summary->groups)
        group.activeHours = hours.value(group.group);
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
    // One row per distinct message: a few hundred at most, since messages
    // differ only by their numbers, and far cheaper to merge here than to
    // strip numbers from a million rows in SQL both databases understand.
    query.prepare(QStringLiteral("SELECT coalesce(message, status), COUNT(*) FROM "
                                 "board_records WHERE %1 GROUP BY 1")
                      .arg(rangeCondition(range, statuses)));
    for (const QString &status : failedStatuses)
        query.addBindValue(status);
    if (!run(query, range, error))
        return false;
    QVector<QPair<QString, qint64>> messages;
    while (query.next())
        messages.append({query.value(0).toString(), query.value(1).toLongLong()});
    summary->failures = mergeCauses(messages);
    return true;
}

void addTotal(Summary *summary)
{
    summary->total.group = QStringLiteral("all");
    for (const SummaryGroup &row : qAsConst(summary->groups))
        mergeGroup(summary->total, row);
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
    if (!countGroups(db, by, range, summary, &failedStatuses, error) ||
        !failureMessages(db, range, failedStatuses, summary, error) ||
        (by == Grouping::Station && !countActiveHours(db, range, summary, error)))
        return false;
    addTotal(summary);
    return by != Grouping::Image || countUnreleased(db, range, summary, error);
}

QString failureCause(const QString &message)
{
    static const QRegularExpression number(QStringLiteral("\\d+"));
    return QString(message).replace(number, QStringLiteral("N"));
}

QVector<QPair<QString, qint64>> mergeCauses(const QVector<QPair<QString, qint64>> &messages)
{
    QMap<QString, qint64> boards;
    for (const auto &message : messages)
        boards[failureCause(message.first)] += message.second;
    QVector<QPair<QString, qint64>> causes;
    for (auto it = boards.cbegin(); it != boards.cend(); ++it)
        causes.append({it.key(), it.value()});
    // Stable: equal counts stay in the map's order, by name.
    std::stable_sort(causes.begin(), causes.end(),
                     [](const auto &a, const auto &b) { return a.second > b.second; });
    return causes;
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
