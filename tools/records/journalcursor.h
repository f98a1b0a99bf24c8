#pragma once

// How far a station's journal has gone into one database, kept in a small
// file beside the journal (records.jsonl.forwarded), so that a restarted
// station sends only what the database has not confirmed.
//
// A journal file is known by what it is (its device and inode), not by its
// name: log rotation renames it, a new journal under the old name is another
// file and is sent from its start. A mark says "every line of this file up to
// `offset` is in the database, the last of them the record `lastId`"; it is
// believed only while the line ending at `offset` still holds that record, so
// a file truncated and written again, or an inode used again, is sent whole.
//
// The database decides by id whether a record is in (inserts are idempotent);
// the cursor only saves sending again what it already holds. It is safe to
// lose, and safe to be behind: two stations sharing a journal each write
// marks only as far as they confirmed every line before.

#include <QString>
#include <QStringList>
#include <QVector>

namespace records {

struct JournalFile
{
    quint64 device = 0;
    quint64 inode = 0;

    bool isValid() const { return inode != 0; }
    bool operator==(const JournalFile &other) const
    {
        return device == other.device && inode == other.inode;
    }
    bool operator!=(const JournalFile &other) const { return !(*this == other); }

    // Invalid when there is no such file.
    static JournalFile ofPath(const QString &path);
    static JournalFile ofDescriptor(int fd);
};

struct CursorMark
{
    JournalFile file;
    qint64 offset = 0;
    QString lastId;
};

class JournalCursor
{
public:
    // `database` tells one database from another (describeDatabase()): a
    // journal forwarded to two databases has a mark for each.
    JournalCursor(const QString &journalPath, const QString &database);

    QString path() const { return path_; }
    // This database's marks; none when the file is missing or unreadable.
    QVector<CursorMark> load() const;
    // Replaces this database's marks, keeping the others', in one rename.
    bool save(const QVector<CursorMark> &marks) const;

private:
    QString path_;
    QString database_;
};

// Whether the line of the file at `path` that ends at `offset` (with its
// newline) is the record `id`.
bool lineEndsWithRecord(const QString &path, qint64 offset, const QString &id);

// The files beside the journal whose names begin with its name
// (records.jsonl.1, records.jsonl-20261207): where rotation puts it.
QStringList journalSiblings(const QString &journalPath);

} // namespace records
