#pragma once

// Follows a station's journal as lines are appended to it: the file at the
// journal's path, and for a while the file it was before, when log rotation
// renamed or removed it (a record written a moment before the station
// noticed still lands there). Only whole lines are taken; a line still being
// written is read once its newline is there. A file truncated in place
// (copytruncate) is read again from its start.

#include "records/journalcursor.h"

#include <QByteArray>
#include <QString>
#include <QVector>

namespace records {

struct JournalLine
{
    QByteArray text; // without its newline
    JournalFile file;
    qint64 end = 0; // the offset just past its newline
};

class JournalFollower
{
public:
    explicit JournalFollower(const QString &path);
    ~JournalFollower();
    JournalFollower(const JournalFollower &) = delete;
    JournalFollower &operator=(const JournalFollower &) = delete;

    // Begins where the marks say, for each mark that still leads to its
    // record: in the journal, or in a rotated file beside it (read to its end
    // first). The journal begins at its start when no mark holds for it.
    void resume(const QVector<CursorMark> &marks);
    // Forgets every place: the journal as it is now, from its start.
    void restart();
    // The whole lines appended since the last call, the oldest file first.
    // `nowMs`: a monotonic clock, for how long a rotated file is still read.
    QVector<JournalLine> readNew(qint64 nowMs);

private:
    struct Source
    {
        int fd = -1;
        JournalFile file;
        qint64 offset = 0;
        qint64 drainUntilMs = -1; // -1: the journal itself
    };

    void closeAll();
    bool open(const QString &path, qint64 offset, qint64 drainUntilMs);
    void followPath(qint64 nowMs);
    void read(Source &source, QVector<JournalLine> &lines);
    void closeDrained(qint64 nowMs);

    const QString path_;
    QVector<Source> sources_; // rotated files first, the journal last
};

} // namespace records
