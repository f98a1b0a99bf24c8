#pragma once

// Counting boards: how many, how many ok, failed and stopped, the yield and
// the median duration, per day, hour, station, image or slot. The database
// does the counting (GROUP BY and a window function), so a million records
// never cross the connection.
//
// A board stopped by the station (status "stopped") is not the board's
// failure: yield = ok / (ok + failed), stopped boards left out.

#include <QDateTime>
#include <QPair>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

namespace records {

enum class Grouping
{
    Day, // UTC days
    Hour,
    Station,
    Image, // file name and sha256
    Slot
};

bool parseGrouping(const QString &text, Grouping *grouping);

struct SummaryRange
{
    QString since; // ISO UTC text, inclusive; empty: from the first record
    QString until; // exclusive; empty: to the last
};

struct SummaryGroup
{
    QString group;
    qint64 boards = 0;
    qint64 ok = 0;
    qint64 failed = 0;
    qint64 stopped = 0;
    double medianMs = -1; // of the boards that ended ok; -1 when none did

    // -1 when no board ended ok or failed.
    double yield() const { return ok + failed > 0 ? double(ok) / double(ok + failed) : -1; }
};

struct Summary
{
    QVector<SummaryGroup> groups; // by name (days and hours in time order)
    SummaryGroup total;
    QVector<QPair<QString, qint64>> failures; // most frequent failure messages first
};

bool summarize(const QSqlDatabase &db, Grouping by, const SummaryRange &range, Summary *summary,
               QString *error);

// "2026-12-07", "2026-12-07T09:30", "2026-12-07T09:30:00+01:00" (UTC when no
// offset is given), or a span back from `now`: "7d", "12h", "30min".
// The result is ISO UTC text as the records' started column holds it.
bool parseTimeBound(const QString &text, const QDateTime &now, QString *bound, QString *error);

} // namespace records
