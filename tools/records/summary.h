#pragma once

// Counting boards: how many, how many ok, failed and stopped, the yield and
// the median duration, per day, hour, station, image or slot. The database
// does the counting (GROUP BY and a window function), so a million records
// never cross the connection.
//
// A board stopped by the station (status "stopped") is not the board's
// failure: yield = ok / (ok + failed), stopped boards left out.

#include <QDateTime>
#include <QHash>
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
    Image, // sha256, named by the files it went by
    Slot   // station and slot, named as the screens name it
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
    double medianMs = -1;   // of the boards that ended ok; -1 when none did
    qint64 activeHours = 0; // by station: hours with at least one board; 0 otherwise
    QString image;          // by image: its sha256 ("" for files without one)
    // By image: boards flashed while the image was not released (see
    // releases.h); -1 otherwise, and when the database keeps no releases.
    qint64 unreleased = -1;

    // -1 when no board ended ok or failed.
    double yield() const { return ok + failed > 0 ? double(ok) / double(ok + failed) : -1; }
    // The pace while the station was at work: nights and breaks left out.
    double boardsPerHour() const { return activeHours > 0 ? double(boards) / activeHours : -1; }
};

// Each station's slots called as its screens call them: station -> (slot
// entry -> the part of it that differs from the station's other slots).
using SlotNames = QHash<QString, QHash<QString, QString>>;

struct Summary
{
    QVector<SummaryGroup> groups; // by name (days and hours in time order)
    SummaryGroup total;
    QVector<QPair<QString, qint64>> failures; // failure causes, most frequent first
    SlotNames shortSlotNames;                 // by slot: every slot met
};

// By day, hour or station the groups are as the database names them. By
// image one group is one sha256, named "FILE[, FILE...] SHA" (SHA cut to 12
// digits) after every file name it went by. By slot one group is one station's
// slot, named "STATION LABEL": the label the record carries, else the part of
// the slot's entry that differs from the station's other slots.
bool summarize(const QSqlDatabase &db, Grouping by, const SummaryRange &range, Summary *summary,
               QString *error);

// The cause behind a failure message: its numbers replaced by "N", so that
// "Time out: no answer to block 12" and "... 13" count as one.
QString failureCause(const QString &message);

// Messages and how many boards ended with each, merged into causes, most
// frequent first (ties by name).
QVector<QPair<QString, qint64>> mergeCauses(const QVector<QPair<QString, qint64>> &messages);

// "2026-12-07", "2026-12-07T09:30", "2026-12-07T09:30:00+01:00" (UTC when no
// offset is given), or a span back from `now`: "7d", "12h", "30min".
// The result is ISO UTC text as the records' started column holds it.
bool parseTimeBound(const QString &text, const QDateTime &now, QString *bound, QString *error);

} // namespace records
